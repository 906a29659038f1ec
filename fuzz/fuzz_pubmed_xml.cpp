// The PubMed XML reader (PubmedArticleSet, DeleteCitation) over text in memory.
#include "records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tamix::fuzz::ReadAndCheck(&tamix::server::ReadPubmedXmlText, tamix::fuzz::Bytes(data, size));
    return 0;
}
