// Evaluation.h - the node's message operation: classify, convert, route, log, clean up.
#ifndef OSTREVEL_SRC_EVALUATION_H
#define OSTREVEL_SRC_EVALUATION_H

#include "BrokerInterface.h"

namespace ostrevel {

// Log texts of evaluate.
inline constexpr char LOG_TEXT_PROPAGATED[] = "Message propagated";
inline constexpr char LOG_TEXT_NOT_PROPAGATED[] = "Message not propagated";
inline constexpr char LOG_TEXT_NO_TERMINAL[] = "Terminal does not exist.";
inline constexpr char LOG_FUNCTION_EVALUATE[] = "evaluate()";

// Handles one message that reached the node's "in" terminal. `context` is the node's
// NodeContext; `first` and `second` reach cniPropagate unchanged and in order. Propagates
// at most one message (the converted one, or `input` unchanged) to "out" or "failure" and
// writes at most one log entry. Everything it creates (the output message, the work buffer)
// is released on every path, also when a broker call (the rethrow, or any other) throws: the
// exception then passes on unchanged. The library throws nothing of its own.
void evaluate(void* context, BrokerMessage* first, BrokerMessage* second, BrokerMessage* input);

}  // namespace ostrevel

#endif  // OSTREVEL_SRC_EVALUATION_H
