// FuzzEvaluate.cpp - drives evaluate through the simulated broker. The input chooses the
// node's attributes, the message's headers and Formats, its body, one broker call to fail
// (and how), and whether the broker's rethrow returns or throws. After every input it checks
// what must always hold: at most one message sent, a converted body that is the correct
// wrapping or stripping of the input body, an input message never changed, no message or
// work buffer left behind, at most one log entry, and, without a fault, the right route.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Allocation.h"
#include "BrokerSim.h"
#include "FuzzInput.h"
#include "Reference.h"

namespace {

using brokersim::Call;

// The largest capacity tried: enough for bodies over one segment's limit, small enough to
// keep every input fast.
constexpr std::int64_t MAX_CAPACITY = 70000;

// Three nodes made once: an ordinary one, one whose "out" terminal has no handle, and one
// whose "failure" terminal has none.
struct Nodes {
    NodeFunctionTable* table = nullptr;
    brokersim::Node node[3]{};
};

Nodes& nodes() {
    static Nodes* made = [] {
        auto* n = new Nodes;
        brokersim::reset();
        n->table = brokersim::definedTable(bipGetMessageflowNodeFactory(), u"OstrevelNode");
        if (n->table == nullptr) std::abort();
        n->node[0] = brokersim::createNode(*n->table);
        brokersim::failCall(Call::CreateOutputTerminal, 3, brokersim::Fault{1, true, {}});
        n->node[1] = brokersim::createNode(*n->table);
        brokersim::failCall(Call::CreateOutputTerminal, 6, brokersim::Fault{1, true, {}});
        n->node[2] = brokersim::createNode(*n->table);
        return n;
    }();
    return *made;
}

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Nodes& all = nodes();
    brokersim::clearRecords();
    ostrevel_fuzz::FuzzInput input(data, size);

    // The node and its attributes.
    const int nodeIndex = input.byte() % 3;
    const brokersim::Node& node = all.node[nodeIndex];
    const std::u16string msgtypes = input.wideText(12);
    const std::u16string direction = input.wideText(10);
    const std::uint8_t capacityMode = input.byte();
    std::u16string capacityText;
    if (capacityMode % 4 == 0) {
        capacityText = input.wideText(14);  // arbitrary text through parseDecimal
        const std::int32_t parsed = reference::parseDecimal(capacityText);
        if (parsed > MAX_CAPACITY) capacityText = u"-1";
    } else {
        const auto raw = static_cast<std::int64_t>(input.number(3) % (MAX_CAPACITY + 3)) - 2;
        capacityText = brokersim::wide(std::to_string(raw));
    }
    all.table->setAttribute(node.context, u"MSGTYPES", msgtypes.c_str());
    all.table->setAttribute(node.context, u"DIRECTION", direction.c_str());
    all.table->setAttribute(node.context, u"MAXMSGDATASIZE", capacityText.c_str());
    for (const char16_t* name : {u"out", u"failure"}) {
        if (BrokerTerminal* terminal = brokersim::terminalNamed(node.object, name))
            brokersim::setAttached(terminal, (input.byte() & 7) != 0);
    }

    // The message.
    const std::uint8_t shape = input.byte();
    brokersim::MessageLayout layout;
    layout.withMqmd = (shape & 1) == 0;
    const bool mqmdFormat = (shape & 2) == 0;
    layout.withIih = (shape & 4) != 0;
    const bool iihFormat = (shape & 8) == 0;
    layout.withBody = (shape & 16) == 0;
    if ((shape & 32) != 0) layout.extraHeaders = {u"MQRFH2"};
    const std::uint8_t formatMode = input.byte();
    auto format = [&](std::uint8_t mode) -> std::u16string {
        switch (mode % 4) {
            case 0:
                return u"MQIMS   ";
            case 1:
                return u"MQIMSVS ";
            case 2:
                return input.wideText(90);
            default:
                return u"MQSTR   ";
        }
    };
    const std::u16string mqmd = format(formatMode);
    const std::u16string iih = format(static_cast<std::uint8_t>(formatMode >> 2));
    layout.mqmdFormat = mqmdFormat ? std::optional<std::u16string>(mqmd) : std::nullopt;
    layout.iihFormat = iihFormat ? std::optional<std::u16string>(iih) : std::nullopt;

    // The fault: which call, which occurrence, which failure; and the rethrow mode.
    const std::uint8_t faultByte = input.byte();
    const std::uint8_t faultKind = input.byte();
    const bool faulted = faultByte < 2 * brokersim::CALL_KINDS;
    const auto call = static_cast<Call>(faultByte % brokersim::CALL_KINDS);
    const bool rethrowThrows = (faultKind & 0x80) != 0;
    const bool faultThrows = (faultKind & 0x40) != 0;  // the call throws instead of failing
    const std::uint64_t faultAt = 1 + (faultKind >> 3) % 3;
    brokersim::Fault fault;
    fault.code = (faultKind & 1) != 0 ? RC_EXCEPTION : 1;
    fault.nullHandle = (faultKind & 2) != 0;
    if (faulted && call != Call::DeleteMessage) {  // a broker that cannot delete leaks itself
        if ((faultKind & 4) != 0) fault.result = static_cast<std::int32_t>(input.number(4));
        if (faultThrows) {
            brokersim::throwFromCall(call, faultAt);
        } else {
            brokersim::failCall(call, faultAt, fault);
        }
    }
    brokersim::setRethrowMode(rethrowThrows ? brokersim::RethrowMode::Throw
                                            : brokersim::RethrowMode::Return);

    layout.body = input.rest();
    BrokerMessage* message = brokersim::makeMessage(layout);
    const brokersim::MessageView before = brokersim::viewMessage(message);
    const std::int64_t blocks = ostrevel::allocation_seam::liveBlocks();

    bool threw = false;
    try {
        all.table->evaluate(node.context, brokersim::opaqueHandle(1), brokersim::opaqueHandle(2),
                            message);
    } catch (const brokersim::BrokerException&) {
        threw = true;
    }

    if (std::getenv("OSTREVEL_FUZZ_TRACE") != nullptr) {  // shows the route each input took
        const auto p = brokersim::propagations();
        const auto l = brokersim::logRecords();
        std::fprintf(stderr, "node %d: %s%s, log \"%s\"%s\n", nodeIndex,
                     p.empty() ? "nothing sent" : brokersim::narrow(p[0].terminalName).c_str(),
                     !p.empty() && p[0].sent != message ? " (converted)" : "",
                     l.empty() ? "" : l[0].text.c_str(), threw ? ", rethrow threw" : "");
    }

    // What must hold whatever happened.
    const auto sent = brokersim::propagations();
    const auto logs = brokersim::logRecords();
    const brokersim::MessageView after = brokersim::viewMessage(message);
    check(sent.size() <= 1);
    check(logs.size() <= 1);
    check(brokersim::liveMessages() == 0);
    check(ostrevel::allocation_seam::liveBlocks() == blocks);
    check(brokersim::violations().empty());
    check(after.body == before.body && after.childNames == before.childNames &&
          after.mqmdFormat == before.mqmdFormat && after.iihFormat == before.iihFormat);
    check(threw ==
          ((rethrowThrows && !brokersim::rethrows().empty()) || brokersim::injectedThrows() > 0));

    // A failing attachment test never drops the message silently: code 64 is handed back to
    // the broker, any other code is logged as not propagated.
    if (faulted && !faultThrows && call == Call::IsTerminalAttached && faultAt == 1 &&
        brokersim::callCount(Call::IsTerminalAttached) == 1) {
        check(sent.empty());
        if (fault.code == RC_EXCEPTION) {
            check(logs.empty() && brokersim::rethrows().size() == 1);
        } else {
            check(logs.size() == 1 && logs[0].text == "Message not propagated");
        }
    }

    const bool toIms = reference::toIms(direction);
    if (sent.size() == 1) {
        const brokersim::Propagation& p = sent[0];
        check(p.first == brokersim::opaqueHandle(1) && p.second == brokersim::opaqueHandle(2));
        check(p.terminalName == u"out" || p.terminalName == u"failure");
        if (p.sent == message) {
            check(p.copy.body == before.body);
        } else {
            // A converted message: only ever to "out", with a correctly reframed body.
            check(p.terminalName == u"out" && before.body.has_value() && p.copy.body.has_value());
            const auto expected =
                toIms ? reference::wrap(*before.body) : reference::strip(*before.body);
            check(expected.has_value() && *expected == *p.copy.body);
        }
    }

    // Without a fault the route is exactly the reference's.
    if (!faulted || call == Call::DeleteMessage) {
        std::optional<std::u16string> mqmdValue;
        if (layout.withMqmd && mqmdFormat && mqmd.size() < 80) mqmdValue = mqmd;
        std::optional<std::u16string> iihValue;
        if (layout.withIih && iihFormat && iih.size() < 80) iihValue = iih;
        reference::Outcome outcome = reference::classify(msgtypes, mqmdValue, iihValue);
        const std::int32_t capacity = reference::parseDecimal(capacityText);
        if (outcome == reference::Outcome::Convert) {
            const bool fits = layout.withBody && capacity >= 0 &&
                              layout.body.size() <= static_cast<std::size_t>(capacity);
            const bool frames = toIms ? reference::wrap(layout.body).has_value()
                                      : reference::strip(layout.body).has_value();
            if (!fits || !frames) outcome = reference::Outcome::Fail;
        }
        const std::u16string terminal = outcome == reference::Outcome::Fail ? u"failure" : u"out";
        const bool hasHandle =
            !(nodeIndex == 1 && terminal == u"out") && !(nodeIndex == 2 && terminal == u"failure");
        BrokerTerminal* handle = brokersim::terminalNamed(node.object, terminal);
        const bool attached = hasHandle && handle != nullptr && brokersim::isAttached(handle);
        check(sent.size() == (attached ? 1U : 0U));
        if (attached) check(sent[0].terminalName == terminal);
        check(logs.size() == (attached || !hasHandle ? 1U : 0U));
    }
    return 0;
}
