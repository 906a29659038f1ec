// The router without a socket: requests in, responses out.
#include "server/web/router.h"
#include "support/pubmed_fixture.h"

#include <gtest/gtest.h>

namespace tamix::server {
namespace {

using test::TempDir;

std::string HeaderOf(const Response& response, const std::string& name) {
    for (const auto& [key, value] : response.headers)
        if (key == name) return value;
    return "<none>";
}

Request Make(std::string method, std::string target, std::string body = "") {
    return {std::move(method),
            std::move(target),
            {{"Host", "127.0.0.1"}},
            std::move(body),
            "127.0.0.1"};
}

TEST(Router, RoutesMethodsAndLimits) {
    TempDir dir;
    ServeOptions options;
    options.index = dir.File("index.sqlite");
    options.glossary = TAMIX_GLOSSARY_FILE;
    test::ImportFiles(options.index,
                      {dir.Write("f.xml", test::ArticleSet({{1234, "Axolotl limb", ""},
                                                            {1235, "What? Axolotl", ""}}))});
    Router router(options);
    router.CheckIndex();
    const auto handle = [&](const Request& request) { return router.Handle(request); };

    const Response start = handle(Make("GET", "/"));
    EXPECT_EQ(start.status, 200);
    EXPECT_EQ(HeaderOf(start, "Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(start.body.find("2 records"), std::string::npos);
    const Response css = handle(Make("HEAD", "/static/tamix.css"));
    EXPECT_EQ(css.status, 200);
    EXPECT_EQ(HeaderOf(css, "Cache-Control"), "max-age=86400");
    EXPECT_EQ(HeaderOf(css, "Content-Type"), "text/css; charset=utf-8");
    EXPECT_EQ(handle(Make("GET", "/m/pubmed/%31%32%33%34")).body,
              handle(Make("GET", "/m/pubmed/00001234")).body)
        << "the path is unescaped before it is routed";

    // A '?' inside a value is the value's own ('=': ParseForm below).
    const Response question = handle(Make("GET", "/m/pubmed/?term=what?&page=1"));
    EXPECT_EQ(question.status, 200);
    EXPECT_NE(question.body.find("value=\"what?\""), std::string::npos);
    EXPECT_NE(question.body.find("00001235"), std::string::npos);

    // Translation by address or form; the address's fields come first.
    const std::string query = "/public/2.0/bmt/translate?client_id=Qx7TmWb2PaLk9RcVz4NsJd6E";
    const Response posted =
        handle(Make("POST", query, "q=heart+failure&from=en&to=zh&client_id=x"));
    EXPECT_EQ(HeaderOf(posted, "Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(posted.body, handle(Make("GET", query + "&q=heart%20failure&from=en&to=zh")).body);
    EXPECT_NE(posted.body.find("\\u5fc3"), std::string::npos) << posted.body;

    EXPECT_EQ(handle(Make("POST", "/")).status, 404);
    EXPECT_EQ(handle(Make("DELETE", "/m/pubmed/1234")).status, 404);
    EXPECT_EQ(handle(Make("GET", "/m/pubmed/1234/")).status, 404);
    EXPECT_EQ(handle(Make("GET", "/m/pubmed/%2F")).status, 404);
    EXPECT_EQ(handle(Make("GET", "/nothing/%zz")).status, 400) << "escapes before routes";

    // The limits are HttpLayer.OversizedRequestsAreRefusedAndClosed's, on the wire.
    EXPECT_EQ(HeaderOf(BusyResponse(), "Retry-After"), "1");

    // What needs the index waits for a worker (that what the reading thread answers itself
    // is what Handle() answers, fuzz_http checks).
    EXPECT_TRUE(router.Immediate(Make("GET", "/static/tamix.css")).has_value());
    for (const char* target : {"/", "/about", "/m/pubmed/?term=a", "/m/pubmed/1234", query.c_str()})
        EXPECT_FALSE(router.Immediate(Make("GET", target)).has_value()) << target;
    EXPECT_FALSE(router.Immediate(Make("POST", query, "q=a")).has_value());
}

TEST(Router, UnreadableIndexGivesErrorPages) {
    TempDir dir;
    ServeOptions options;
    options.index = dir.Write("not-an-index.sqlite", std::string(4096, 'x'));
    Router router(options);
    EXPECT_ANY_THROW(router.CheckIndex());
    for (const char* target : {"/", "/m/pubmed/?term=a", "/m/pubmed/1"}) {
        const Response response = router.Handle(Make("GET", target));
        EXPECT_EQ(response.status, 500) << target;
        EXPECT_NE(response.body.find("The index could not be read."), std::string::npos);
    }
    EXPECT_EQ(router.Handle(Make("GET", "/static/tamix.css")).status, 200);
}

TEST(Router, FormsAndLogLines) {
    const HeaderList expected{{"a", "1"}, {"b", "x y"}, {"c d", "50%"}, {"e", ""}, {"f", "=g"}};
    EXPECT_EQ(ParseForm("a=1&&b=x+y&c%20d=50%&=lost&e&f==g"), expected);
    EXPECT_EQ(ParseForm(""), HeaderList{});

    Request request = Make("GET", "/m/pubmed/?term=a%20b");
    request.remoteAddress = "10.0.0.7";
    EXPECT_EQ(AccessLogLine(request, {404, {}, "12345"}, 86400 * 365),
              "10.0.0.7 [1971-01-01T00:00:00Z] \"GET /m/pubmed/?term=a%20b\" 404 5\n");
}

} // namespace
} // namespace tamix::server
