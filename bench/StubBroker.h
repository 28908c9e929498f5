// StubBroker.h - a broker stub that costs next to nothing, for measuring evaluate alone.
//
// One input message and one output message, built once; no allocation, no locks, no records.
// The only real work it does is what a broker cannot avoid: copying the body out on the
// byte-array read and in on the byte-array write.
#ifndef OSTREVEL_BENCH_STUBBROKER_H
#define OSTREVEL_BENCH_STUBBROKER_H

#include <cstdint>
#include <string>
#include <vector>

#include "BrokerInterface.h"

namespace stub {

// Sets the input message's Formats and body (the output body gets room for the result).
void setInput(const std::u16string& mqmdFormat, const std::u16string& iihFormat,
              const std::vector<std::uint8_t>& body);
BrokerMessage* inputMessage();
// The body last written to the output message.
const std::vector<std::uint8_t>& outputBody();
// Messages propagated since the start.
std::uint64_t propagated();
// The table the plug-in defined its node class with, or null.
NodeFunctionTable* definedTable();

}  // namespace stub

#endif  // OSTREVEL_BENCH_STUBBROKER_H
