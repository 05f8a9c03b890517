#include "sim/report/message_box_text.h"

namespace kestrow_sim {

namespace {

constexpr int kIdAbort = 3;
constexpr int kIdRetry = 4;
constexpr int kIdIgnore = 5;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

}  // namespace

std::vector<BoxButton> BoxButtons(platform::UINT type) {
    switch (type & platform::MB_TYPEMASK) {
        case platform::MB_OKCANCEL:
            return {{"OK", platform::IDOK}, {"Cancel", platform::IDCANCEL}};
        case platform::MB_ABORTRETRYIGNORE:
            return {{"Abort", kIdAbort}, {"Retry", kIdRetry}, {"Ignore", kIdIgnore}};
        case platform::MB_YESNOCANCEL:
            return {{"Yes", kIdYes}, {"No", kIdNo}, {"Cancel", platform::IDCANCEL}};
        case platform::MB_YESNO:
            return {{"Yes", kIdYes}, {"No", kIdNo}};
        case platform::MB_RETRYCANCEL:
            return {{"Retry", kIdRetry}, {"Cancel", platform::IDCANCEL}};
        default:
            return {{"OK", platform::IDOK}};
    }
}

std::string BoxIconName(platform::UINT type) {
    switch (type & platform::MB_ICONMASK) {
        case platform::MB_ICONHAND:
            return "Stop";
        case platform::MB_ICONQUESTION:
            return "Question";
        case platform::MB_ICONEXCLAMATION:
            return "Exclamation";
        case platform::MB_ICONASTERISK:
            return "Information";
        case 0:
            return "none";
        default:
            return "unknown";
    }
}

std::string BoxAnswerName(int answer) {
    switch (answer) {
        case 0:
            return "none (not shown)";
        case platform::IDOK:
            return "OK";
        case platform::IDCANCEL:
            return "Cancel";
        case kIdAbort:
            return "Abort";
        case kIdRetry:
            return "Retry";
        case kIdIgnore:
            return "Ignore";
        case kIdYes:
            return "Yes";
        case kIdNo:
            return "No";
        default:
            return std::to_string(answer);
    }
}

}  // namespace kestrow_sim
