// The translation endpoint's errors, the glossary's annotations, and the pieces of text
// and JSON the translation services are read and written through.
#include "pubmed/translation.h"
#include "server/translate/services.h"
#include "server/translate/translate.h"
#include "support/local_server.h"
#include "support/translation_stand_in.h"

#include <gtest/gtest.h>

#include <sstream>
#include <utility>
#include <vector>

namespace tamix {
namespace {

using server::Glossary;

// That an error carries no escape is fuzz_http's; the escaped translation itself is
// ServerOptions.TranslateBackendForwardsToALibreTranslateService's, through the binary.
TEST(Translate, WrongRequestsAreErrors) {
    server::ServeOptions options;
    options.glossary = TAMIX_GLOSSARY_FILE;
    const std::vector<std::pair<std::string, std::string>> empty = {
        {"empty.xml", test::ArticleSet({})}};
    test::LocalServer live(options, empty);
    const auto body = [](const test::LocalServer& server, const std::string& query) {
        const auto res = server.Get("/public/2.0/bmt/translate?" + query);
        return res ? res->body : "<failed>";
    };
    const std::string id = "client_id=Qx7TmWb2PaLk9RcVz4NsJd6E";
    for (const std::string& query :
         {std::string("client_id=wrong&q=heart&from=en&to=zh"), id + "&from=en&to=zh",
          id + "&q=heart&from=de&to=zh", id + "&q=heart&from=en&to=fr", id + "&q=heart",
          id + "&q=%FF&from=en&to=zh"})
        EXPECT_NE(body(live, query).find("\"error_code\""), std::string::npos) << query;
    // Nothing to translate is the error of a missing text: an empty translation would
    // carry no escape, and the program would take it for a failure of the service.
    EXPECT_NE(body(live, id + "&q=&from=en&to=zh").find("54000"), std::string::npos);
    const std::string heart = id + "&q=heart&from=en&to=zh";
    EXPECT_EQ(server::JsonStringField(body(live, heart), "src"), "heart");
    // No engine at all is an error too, not an empty success.
    test::LocalServer none({}, empty);
    EXPECT_EQ(DecodeTranslation(body(none, heart)), std::nullopt);
}

// Sentences written for this test, one for each way a term is found in the built
// glossary: words of a longer term, plurals, -ed forms, hyphenated words.
TEST(Translate, GlossaryKnowsTheTermsOfAbstracts) {
    Glossary glossary;
    std::string error;
    ASSERT_TRUE(glossary.Load(TAMIX_GLOSSARY_FILE, error)) << error;
    // Each sentence, and the Chinese terms its annotation must hold.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"We conducted a randomized controlled trial in 240 patients.", "随机对照试验 患者"},
        {"This systematic review and meta-analysis included 12 cohort studies.",
         "系统评价 荟萃分析 队列研究"},
        {"Screening improved the diagnosis of tuberculosis in rural populations.",
         "筛查 改善 诊断 结核病 人群"},
    };
    for (const auto& [sentence, terms] : cases) {
        const std::string annotated = server::AnnotateTerms(glossary, sentence);
        std::istringstream words(terms);
        for (std::string term; words >> term;)
            EXPECT_NE(annotated.find("\xEF\xBC\x88" + term), std::string::npos)
                << sentence << "\n  gave " << annotated << "\n  without " << term;
    }
    EXPECT_EQ(
        server::AnnotateTerms(glossary, "Heart failure is a common disease with high mortality."),
        "Heart failure（心力衰竭）is a common disease（疾病）with high mortality（死亡率）.");
    // Numbers, abbreviations and unknown words stay as written, and so do function words.
    EXPECT_EQ(server::AnnotateTerms(glossary, "PCR and IL-6 in 2019 by the Xyzzqa."),
              "PCR and IL-6 in 2019 by the Xyzzqa.");
}
// A service that answers too slowly is an error, given within the translation's time;
// by default that time ends before the program's own request gives up.
TEST(Translate, ASlowServiceIsAnErrorInTime) {
    EXPECT_LT(std::chrono::seconds(server::TranslationService{}.seconds), kDefaultStallLimit);
    test::TranslationStandIn stand;
    stand.Pause(std::chrono::seconds(10));
    server::TranslationService service;
    ASSERT_EQ(server::ParseTranslationService(stand.LibreTranslateBase(), service), "");
    service.seconds = 1;
    std::string log;
    const auto translator = server::MakeServiceTranslator(
        service, nullptr, [&](const std::string& line) { log += line; });
    EXPECT_EQ(translator->Translate("A slow answer."), std::nullopt);
    EXPECT_EQ(log, "libretranslate did not translate: no answer in time");
}

TEST(Translate, JsonStringField) {
    EXPECT_EQ(server::JsonStringField("{\"a\" : \"x\\ny\\u0041\\\\\"}", "a"), "x\nyA\\");
    EXPECT_EQ(server::JsonStringField(R"({"a":"\"\/\b\f\r\t"})", "a"), "\"/\b\f\r\t");
    EXPECT_EQ(server::JsonStringField("{\"a\":1}", "a"), std::nullopt);
    EXPECT_EQ(server::JsonStringField("{\"a\":\"open", "a"), std::nullopt);
    EXPECT_EQ(server::JsonStringField("{\"a\":\"\\ud800x\"}", "a"), "\xEF\xBF\xBDx");
    EXPECT_EQ(server::JsonStringField("{\"a\":\"\\u5fc3\\ud83d\\ude00\"}", "a"),
              "心\xF0\x9F\x98\x80")
        << "as LibreTranslate writes it";

    // Paths into services' answers: objects and arrays passed over whatever they hold.
    const std::string chat =
        "{\"id\":\"x\",\"choices\":[{\"index\":0,\"message\":{\"role\":\"assistant\",\"content\":"
        "\"\\u5fc3 "
        "\\\"a\\\"\",\"annotations\":[[1,{\"content\":\"no\"}],\"]}\"]},\"logprobs\":null},"
        "{\"message\":{\"content\":\"second\"}}],\"usage\":{\"total_tokens\":29}}";
    EXPECT_EQ(server::JsonPath(chat, {"choices", 0, "message", "content"}), "\xE5\xBF\x83 \"a\"");
    EXPECT_EQ(server::JsonPath(chat, {"choices", 1, "message", "content"}), "second");
    EXPECT_EQ(server::JsonPath(chat, {"choices", 2, "message", "content"}), std::nullopt);
    EXPECT_EQ(server::JsonPath(chat, {"choices", 0, "index"}), std::nullopt) << "not a string";
    EXPECT_EQ(server::JsonPath(chat, {"usage", 0}), std::nullopt) << "an object is no array";
    EXPECT_EQ(server::JsonPath(chat, {"choices", 0, "content"}), std::nullopt)
        << "a key found only deeper is not this one";
    for (const char* broken :
         {"", "{\"choices\":[{\"message\":{\"content\":1", "[\"choices\"]", "{\"choices\" [] }"})
        EXPECT_EQ(server::JsonPath(broken, {"choices", 0, "message", "content"}), std::nullopt)
            << broken;
    // Nesting past any answer's depth is refused, not followed down the stack.
    EXPECT_EQ(server::JsonPath(std::string(100000, '[') + "\"x\"", {1}), std::nullopt);
}

TEST(Translate, ServicesTextsInPiecesAndTheirNumbers) {
    // Pieces end at sentence ends within the limit, else at a space, else between
    // characters, and put back together give the text; that they keep within the limit
    // and never cut a character is fuzz_services'.
    const std::string text = "One is short. Two goes on a while? Three! Four.";
    std::string joined;
    for (const std::string& piece : server::SplitSentences(text, 20))
        joined += (joined.empty() ? "" : " ") + piece;
    EXPECT_EQ(joined, text);
    EXPECT_EQ(server::SplitSentences(text, 20)[0], "One is short.");
    EXPECT_EQ(server::SplitSentences("aaaa bbbbbbbbbbbbbbbbbbbb cc", 16),
              (std::vector<std::string>{"aaaa", "bbbbbbbbbbbbbbbb", "bbbb cc"}));
    std::string chinese;
    for (int i = 0; i < 10; ++i)
        chinese += "\xE5\xBF\x83\xE5\x8A\x9B\xE8\xA1\xB0\xE7\xAB\xAD";
    std::string back;
    for (const std::string& piece : server::SplitSentences(chinese, 16))
        back += piece;
    EXPECT_EQ(back, chinese);

    EXPECT_EQ(server::NumbersIn("71.2% of 1,234 patients (12%) took 5 mg in 2001. p<0.05, "
                                "\xEF\xBC\x97 days, 1,23 and 12,3456"),
              (std::vector<std::string>{"71.2", "1234", "12", "5", "2001", "0.05", "7", "1", "23",
                                        "3456"}));
    EXPECT_EQ(server::MissingNumbers("4.3 mg in 12 patients", "12 3.4"),
              std::vector<std::string>{"4.3"});
    EXPECT_EQ(server::MissingNumbers("in 71.2%", "in 71.20%"), std::vector<std::string>{"71.2"})
        << "a number is matched as written";

    // What reads is ServerOptions' three services, through the binary.
    server::TranslationService service;
    for (const char* wrong : {"openai:", "deepl:ftp://h", "gpt:https://h", "https://", "http:///x"})
        EXPECT_NE(server::ParseTranslationService(wrong, service), "") << wrong;
}

} // namespace
} // namespace tamix
