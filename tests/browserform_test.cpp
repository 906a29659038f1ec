#include "pubmed/browserform.h"

#include <gtest/gtest.h>

namespace tamix {
namespace {

// fuzz_browserform proves that only the case of letters changes; these, which letters.
TEST(BrowserForm, UpperCasesElementNamesOnly) {
    EXPECT_EQ(ToBrowserForm("<div class=\"pag\">Page 1 of 3</div><br/><my-el x=1></my-el>"),
              "<DIV class=\"pag\">Page 1 of 3</DIV><BR/><MY-EL x=1></MY-EL>");
    EXPECT_EQ(ToBrowserForm("<p title=\"a>b <i>\" data-X='<q>'>x &lt;y&gt; a < b</p>"),
              "<P title=\"a>b <i>\" data-X='<q>'>x &lt;y&gt; a < b</P>")
        << "quoted values and text stay as they are";
    EXPECT_EQ(ToBrowserForm("<!DOCTYPE html><!-- <a href=x> --><?pi?>"),
              "<!DOCTYPE html><!-- <a href=x> --><?pi?>");
    EXPECT_EQ(ToBrowserForm("<script>if (a<b) s = '<a href=x>';</Script><b>"),
              "<SCRIPT>if (a<b) s = '<a href=x>';</SCRIPT><B>")
        << "script content is text, up to its end tag in any case";
}

} // namespace
} // namespace tamix
