// The host's quote requests: fetch the history, bring the newest bar up to
// date, copy the newest bars into the host's records. Host threads.
#pragma once

#include <cstdint>

#include "plugin/host_records.h"

int DeliverQuotesEx(const char* ticker, int periodicity, int size, Quotation* quotes);
int DeliverQuotes(const char* ticker, int periodicity, int size, LegacyQuotation* quotes);

// The 32-bit legacy date of a packed date-time.
std::uint32_t LegacyDate(std::uint64_t packed);
