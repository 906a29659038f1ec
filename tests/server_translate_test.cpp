// The translation endpoint, read back by the program's own request and decoding.
#include "pubmed/addresses.h"
#include "pubmed/download.h"
#include "pubmed/text.h"
#include "pubmed/translation.h"
#include "server/translate/services.h"
#include "server/translate/translate.h"
#include "support/local_server.h"
#include "support/test_server.h"
#include "support/translation_stand_in.h"

#include <gtest/gtest.h>

#include <sstream>
#include <utility>
#include <vector>

namespace tamix {
namespace {

using server::Glossary;

// A running tamix-server over an empty index, with this glossary ("" for none); the
// program's translation requests go to it.
class LiveServer : public test::LocalServer {
public:
    explicit LiveServer(const std::string& glossary)
        : LocalServer(WithGlossary(glossary), {{"empty.xml", test::ArticleSet({})}}) {
        PointProgramAt(kTranslateHostVariable);
    }
    // What the program gets: the response of its own request for this source text.
    std::string Response(const std::string& source) const {
        return Fetch(MakeTranslateAddress(source));
    }
    std::string Body(const std::string& target) const {
        const auto res = Get(target);
        return res ? res->body : "<failed>";
    }

private:
    static server::ServeOptions WithGlossary(const std::string& path) {
        server::ServeOptions options;
        options.glossary = path;
        return options;
    }
};

TEST(Translate, ProgramDecodesExactlyWhatTheEngineSays) {
    test::TempDir dir;
    const std::string glossaryFile = dir.Write(
        "g.tsv", "# test\nheart failure\t\xE5\xBF\x83\xE5\x8A\x9B\xE8\xA1\xB0\xE7\xAB\xAD\n"
                 "smile\t\xF0\x9F\x98\x80\n");
    Glossary glossary;
    std::string error;
    ASSERT_TRUE(glossary.Load(glossaryFile, error)) << error;
    LiveServer live(glossaryFile);

    // A whole abstract too, as long as the program sends.
    std::string abstract = "  Heart failure in older adults  Smith J.  Abstract  ";
    while (abstract.size() < 3000)
        abstract += "BACKGROUND: Patients with heart failure & diabetes (n=120, 50% women) were "
                    "randomized #1 to metformin + usual care. ";
    ASSERT_EQ(MakeTranslationSource(abstract).size(), 1999u);
    for (const std::string& source :
         {std::string("Plain ASCII only."), std::string("Heart failure and a smile."),
          std::string("a&b #1 50% x+y  two  spaces \"q\" <i>"),
          std::string("Abstract unavailable."), MakeTranslationSource(abstract)}) {
        const std::string response = live.Response(source);
        const auto decoded = DecodeTranslation(response);
        ASSERT_TRUE(decoded.has_value()) << response;
        EXPECT_EQ(*decoded, server::AnnotateTerms(glossary, source)) << source;
        EXPECT_EQ(server::JsonStringField(response, "src"), source) << "the source arrives intact";
    }
    EXPECT_EQ(
        *DecodeTranslation(live.Response("Heart failure and a smile.")),
        "Heart failure\xEF\xBC\x88\xE5\xBF\x83\xE5\x8A\x9B\xE8\xA1\xB0\xE7\xAB\xAD\xEF\xBC\x89"
        "and a smile\xEF\xBC\x88\xF0\x9F\x98\x80\xEF\xBC\x89.")
        << "CJK, and a character above U+FFFF as a surrogate pair";
    EXPECT_NE(live.Response("smile").find("\\ud83d\\ude00"), std::string::npos);
}

TEST(Translate, ErrorsCarryNoEscape) {
    LiveServer live(TAMIX_GLOSSARY_FILE);
    const std::string base = "/public/2.0/bmt/translate?";
    for (const std::string query :
         {"client_id=wrong&q=heart&from=en&to=zh",
          "client_id=Qx7TmWb2PaLk9RcVz4NsJd6E&from=en&to=zh",
          "client_id=Qx7TmWb2PaLk9RcVz4NsJd6E&q=heart&from=de&to=zh",
          "client_id=Qx7TmWb2PaLk9RcVz4NsJd6E&q=heart&from=en&to=fr",
          "client_id=Qx7TmWb2PaLk9RcVz4NsJd6E&q=heart", "q=heart&from=en&to=zh",
          "client_id=Qx7TmWb2PaLk9RcVz4NsJd6E&q=%FF&from=en&to=zh",
          "client_id=Qx7TmWb2PaLk9RcVz4NsJd6E&q=&from=en&to=zh"}) {
        const std::string body = live.Body(base + query);
        EXPECT_NE(body.find("\"error_code\""), std::string::npos) << query << ": " << body;
        EXPECT_EQ(body.find("\\u"), std::string::npos) << query;
        EXPECT_EQ(DecodeTranslation(body), std::nullopt);
    }
    // Nothing to translate is the error of a missing text: an empty translation would
    // carry no escape, and the program would take it for a failure of the service.
    EXPECT_NE(live.Body(base + "client_id=Qx7TmWb2PaLk9RcVz4NsJd6E&q=&from=en&to=zh").find("54000"),
              std::string::npos);
    // No engine at all is an error too, not an empty success.
    LiveServer none("");
    EXPECT_EQ(DecodeTranslation(none.Response("heart")), std::nullopt);
}

// Biomedical sentences written for this test, each with Chinese terms it must contain.
TEST(Translate, GlossaryKnowsTheTermsOfAbstracts) {
    Glossary glossary;
    std::string error;
    ASSERT_TRUE(glossary.Load(TAMIX_GLOSSARY_FILE, error)) << error;
    // Each sentence, and the Chinese terms its annotation must hold.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Heart failure is a common disease with high mortality.", "心力衰竭 疾病 死亡率"},
        {"We conducted a randomized controlled trial in 240 patients.", "随机对照试验 患者"},
        {"Metformin significantly reduced the risk of cardiovascular events.",
         "二甲双胍 显著 风险 心血管事件"},
        {"The primary outcome was all-cause mortality at one year.", "主要结局 死亡率"},
        {"Chronic kidney disease was associated with anemia.", "慢性肾病 相关 贫血"},
        {"Tumor cells were treated with an inhibitor of the pathway.", "肿瘤 细胞 抑制剂 通路"},
        {"Apoptosis was assessed by flow cytometry.", "细胞凋亡 评估 流式细胞术"},
        {"Quality of life improved after rehabilitation.", "生活质量 康复"},
        {"This systematic review and meta-analysis included 12 cohort studies.",
         "系统评价 荟萃分析 队列研究"},
        {"Children with asthma received inhaled corticosteroids.", "儿童 哮喘"},
        {"Breast cancer patients underwent surgery and chemotherapy.", "乳腺癌 手术 化疗"},
        {"Gene expression was measured in liver tissue.", "基因表达 测量 肝脏 组织"},
        {"The vaccine induced a strong antibody response.", "疫苗 诱导 抗体 反应"},
        {"Blood pressure and body mass index were recorded at baseline.", "血压 体重指数 基线"},
        {"Adverse events were more frequent in the placebo group.", "不良事件 安慰剂"},
        {"Mice lacking the receptor developed severe inflammation.", "小鼠 受体 炎症"},
        {"Stroke survivors showed cognitive decline during follow-up.", "中风 认知衰退 随访"},
        {"Sepsis in the intensive care unit has a poor prognosis.", "脓毒症 重症监护室 预后"},
        {"We investigated risk factors for hospital readmission.", "研究 危险因素 医院 再入院"},
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
    EXPECT_EQ(server::JsonStringField("{\"a\":1}", "a"), std::nullopt);
    EXPECT_EQ(server::JsonStringField("{\"a\":\"open", "a"), std::nullopt);
    EXPECT_EQ(server::JsonStringField("{\"a\":\"\\ud800x\"}", "a"), "\xEF\xBF\xBDx");
    EXPECT_EQ(server::JsonStringField("{}", "a"), std::nullopt);

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
    EXPECT_EQ(server::JsonPath("{\"translations\":[{\"text\":\"a\"},{\"text\":\"b\"}]}",
                               {"translations", 1, "text"}),
              "b");
    for (const char* broken :
         {"", "{", "{\"choices\":[", "{\"choices\":[{\"message\":{\"content\":1", "[\"choices\"]",
          "{\"choices\" [] }", "{\"choices\":[{]}"})
        EXPECT_EQ(server::JsonPath(broken, {"choices", 0, "message", "content"}), std::nullopt)
            << broken;
    // Nesting past any answer's depth is refused, not followed down the stack.
    EXPECT_EQ(server::JsonPath(std::string(100000, '[') + "\"x\"", {1}), std::nullopt);
}

TEST(Translate, ServicesTextsInPiecesAndTheirNumbers) {
    // Pieces end at sentence ends within the limit, else at a space, else between
    // characters, and put back together give the text.
    const std::string text = "One is short. Two goes on a while? Three! Four.";
    std::string joined;
    for (const std::string& piece : server::SplitSentences(text, 20)) {
        EXPECT_LE(piece.size(), 20u) << piece;
        joined += (joined.empty() ? "" : " ") + piece;
    }
    EXPECT_EQ(joined, text);
    EXPECT_EQ(server::SplitSentences(text, 20)[0], "One is short.");
    EXPECT_EQ(server::SplitSentences("aaaa bbbbbbbbbbbbbbbbbbbb cc", 16),
              (std::vector<std::string>{"aaaa", "bbbbbbbbbbbbbbbb", "bbbb cc"}));
    std::string chinese;
    for (int i = 0; i < 10; ++i)
        chinese += "\xE5\xBF\x83\xE5\x8A\x9B\xE8\xA1\xB0\xE7\xAB\xAD";
    std::string back;
    for (const std::string& piece : server::SplitSentences(chinese, 16)) {
        EXPECT_LE(piece.size(), 16u);
        EXPECT_TRUE(IsValidUtf8(piece)) << "cut inside a character";
        back += piece;
    }
    EXPECT_EQ(back, chinese);
    EXPECT_EQ(server::SplitSentences("", 16), std::vector<std::string>{""});

    EXPECT_EQ(server::NumbersIn("71.2% of 1,234 patients (12%) took 5 mg in 2001. p<0.05, "
                                "\xEF\xBC\x97 days, 1,23 and 12,3456"),
              (std::vector<std::string>{"71.2", "1234", "12", "5", "2001", "0.05", "7", "1", "23",
                                        "3456"}));
    EXPECT_EQ(server::MissingNumbers("1,234 patients", "1234\xE5\x90\x8D"),
              std::vector<std::string>{});
    EXPECT_EQ(server::MissingNumbers("5 mg", "\xEF\xBC\x95\xE6\xAF\xAB\xE5\x85\x8B"),
              std::vector<std::string>{});
    EXPECT_EQ(server::MissingNumbers("4.3 mg in 12 patients", "12 3.4"),
              std::vector<std::string>{"4.3"});
    EXPECT_EQ(server::MissingNumbers("in 71.2%", "in 71.20%"), std::vector<std::string>{"71.2"})
        << "a number is matched as written";

    server::TranslationService service;
    EXPECT_EQ(server::ParseTranslationService("openai:https://h.example/v1", service), "");
    EXPECT_EQ(service.kind, server::TranslationService::Chat);
    EXPECT_EQ(service.base, "https://h.example/v1");
    service.model = "m1";
    EXPECT_EQ(server::ServiceName(service), "openai:m1");
    EXPECT_EQ(server::ParseTranslationService("deepl:https://127.0.0.1:9", service), "");
    EXPECT_EQ(server::ServiceName(service), "deepl");
    for (const char* libre : {"http://127.0.0.1:5000", "https://h.example/lt/"}) {
        EXPECT_EQ(server::ParseTranslationService(libre, service), "") << libre;
        EXPECT_EQ(server::ServiceName(service), "libretranslate");
    }
    for (const char* wrong : {"openai:", "deepl:ftp://h", "gpt:https://h", "https://", "http:///x"})
        EXPECT_NE(server::ParseTranslationService(wrong, service), "") << wrong;
}

} // namespace
} // namespace tamix
