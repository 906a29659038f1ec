// The MEDLINE text reader (.txt, .nbib exports) over text in memory, and the sniffing
// that tells it from XML.
#include "records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tamix::fuzz::ReadAndCheck(&tamix::server::ReadMedlineText, tamix::fuzz::Bytes(data, size));
    tamix::fuzz::ReadAndCheck(&tamix::server::ReadRecordText, tamix::fuzz::Bytes(data, size));
    return 0;
}
