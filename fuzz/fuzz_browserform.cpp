// The page source in the browser's form: element names upper case, nothing else changed.
#include "check.h"

#include "pubmed/browserform.h"

using namespace tamix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view html = fuzz::Bytes(data, size);
    const std::string browser = ToBrowserForm(html);
    // Only the case of letters changes, so every byte position stays where it was.
    FUZZ_CHECK(browser.size() == html.size());
    FUZZ_CHECK(ToLowerAscii(browser) == ToLowerAscii(html));
    FUZZ_CHECK(ToBrowserForm(browser) == browser);
    return 0;
}
