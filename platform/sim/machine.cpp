#include "platform/sim/machine.h"

#include <cstdio>
#include <stdexcept>

#include "platform/sim/machine_impl.h"
#include "platform/sim/named_systems.h"

namespace platform::sim {

namespace {

Machine* g_activeMachine = nullptr;

#define KESTROW_OPERATION_NAME(ReturnType, Name, parameters, arguments, layout) #Name,
constexpr const char* kOperationNames[kOperationCount] = {
    KESTROW_PLATFORM_OPERATIONS(KESTROW_OPERATION_NAME, KESTROW_OPERATION_NAME)};
#undef KESTROW_OPERATION_NAME

// How Call::ToString shows an operation's texts: which arguments are text
// (bit i for argument i), and whether the result or the output is text.
struct TextLayout {
    unsigned textArguments;
    bool textResult;
    bool textOutput;
};

constexpr TextLayout Layout(unsigned textArguments, bool textResult, bool textOutput) {
    return {textArguments, textResult, textOutput};
}

#define KESTROW_OPERATION_LAYOUT(ReturnType, Name, parameters, arguments, layout) layout,
constexpr TextLayout kLayouts[kOperationCount] = {
    KESTROW_PLATFORM_OPERATIONS(KESTROW_OPERATION_LAYOUT, KESTROW_OPERATION_LAYOUT)};
#undef KESTROW_OPERATION_LAYOUT

TextLayout LayoutOf(Operation op) {
    int index = static_cast<int>(op);
    return index >= 0 && index < kOperationCount ? kLayouts[index] : Layout(0, false, false);
}

// Text in double quotes; bytes outside printable ASCII, and the quote
// itself, as \xNN so that the line stays one readable line.
std::string Quoted(const std::string& bytes) {
    std::string text = "\"";
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '"') {
            text += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            text += escape;
        }
    }
    return text + "\"";
}

// A text argument that was a null pointer is recorded as NULL and shown
// bare (a program's own text "NULL" looks the same in the line).
std::string ShownText(const std::string& value) { return value == "NULL" ? value : Quoted(value); }

}  // namespace

// --- Operations by name -------------------------------------------------------

const char* OperationName(Operation op) {
    int index = static_cast<int>(op);
    return index >= 0 && index < kOperationCount ? kOperationNames[index] : "?";
}

std::optional<Operation> OperationByName(std::string_view name) {
    CodePage ascii;
    for (int i = 0; i < kOperationCount; ++i) {
        if (ascii.SameName(kOperationNames[i], name)) return static_cast<Operation>(i);
    }
    return std::nullopt;
}

std::string Call::ToString() const {
    TextLayout layout = LayoutOf(op);
    std::string line = OperationName(op);
    line += '(';
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) line += ", ";
        bool isText = i < 32 && (layout.textArguments >> i & 1u) != 0;
        line += isText ? ShownText(arguments[i]) : arguments[i];
    }
    line += ')';
    if (!result.empty()) line += " = " + (layout.textResult ? Quoted(result) : result);
    if (!output.empty()) line += " -> " + (layout.textOutput ? Quoted(output) : output);
    if (injectedFault) line += " [injected fault]";
    return line;
}

// --- Named systems -------------------------------------------------------------

bool VersionRecordForSystem(std::string_view name, VersionRecord* record) {
    const NamedSystem* system = FindNamedSystem(name);
    if (system == nullptr) return false;
    *record = system->Record();
    return true;
}

// --- The machine -------------------------------------------------------------------

Machine::Machine()
    : codePage_(CodePage::ForNumber(1252)),
      registry_(std::make_unique<RegistryTree>(codePage_)),
      files_(&codePage_),
      impl_(std::make_unique<Impl>(*this)) {
    std::string error;
    if (!files_.MapDrive('C', "", false, &error)) {
        throw std::runtime_error("cannot set up drive C: of the simulated machine: " + error);
    }
    files_.SetCurrentDirectory(currentDirectory);
}

Machine::~Machine() {
    if (g_activeMachine == this) g_activeMachine = nullptr;
}

void Machine::SetCodePage(unsigned number) {
    if (!CodePage::IsKnown(number)) {
        throw std::invalid_argument("code page " + std::to_string(number) +
                                    " is not one Windows 98 ships");
    }
    // The file system reads the code page through a pointer to codePage_,
    // so it follows at once; the registry tree holds its own copy and is
    // rebuilt with its contents and open handles carried over.
    codePage_ = CodePage::ForNumber(number);
    impl_->RebuildRegistry();
}

void Machine::FailAtCall(Operation op, unsigned nth) {
    Impl::FaultRule rule;
    rule.nth = nth;
    impl_->SetFault(op, rule);
}

void Machine::FailAlways(Operation op) {
    Impl::FaultRule rule;
    rule.always = true;
    impl_->SetFault(op, rule);
}

void Machine::ClearFaults() {
    for (int i = 0; i < kOperationCount; ++i) impl_->SetFault(static_cast<Operation>(i), {});
}

std::size_t Machine::CallCount(Operation op) const { return impl_->CallCount(op); }

std::size_t Machine::OpenHandleCount() const { return impl_->OpenHandleCount(); }

std::size_t Machine::OpenStreamCount() const { return impl_->OpenStreamCount(); }

Machine::Activation::Activation(Machine& machine) {
    if (g_activeMachine != nullptr) {
        throw std::logic_error("another simulated machine is already active");
    }
    g_activeMachine = &machine;
}

Machine::Activation::~Activation() { g_activeMachine = nullptr; }

Machine& Machine::Active() {
    if (g_activeMachine == nullptr) {
        throw std::logic_error(
            "a platform operation was called with no simulated machine active "
            "(create a Machine::Activation first)");
    }
    return *g_activeMachine;
}

}  // namespace platform::sim
