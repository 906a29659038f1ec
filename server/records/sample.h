// A deterministic synthetic corpus in PubMed XML, for demonstrations and load tests.
// Every record says what it is: journal "TAMIX Sample Data", PMIDs from 99000001.
#pragma once

#include <cstdint>
#include <ostream>

namespace tamix::server {

inline constexpr std::int64_t kFirstSamplePmid = 99000001;

// The PMID of the record at index i: upwards from kFirstSamplePmid, and past 99999999
// downwards from 99000000, so that every id keeps 8 digits.
std::int64_t SamplePmid(int i);

void WriteSampleCorpus(std::ostream& out, int count);

} // namespace tamix::server
