#include "sim/cli/box_prompt.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "sim/report/message_box_text.h"
#include "sim/report/text_encoding.h"

namespace kestrow_sim {

namespace {

// Columns a UTF-8 text takes, counting each character as one.
std::size_t Columns(const std::string& text) {
    std::size_t columns = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) ++columns;
    }
    return columns;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    lines.push_back(line);
    return lines;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

int PromptBox(const platform::sim::MessageBoxRecord& box, unsigned codePage, std::FILE* in,
              std::FILE* out) {
    // Nothing of the program's texts may act on the terminal: control
    // characters are shown as \xNN.
    const std::string title = VisibleText(CodePageToUtf8(box.caption, codePage));
    const std::string icon = BoxIconName(box.type);
    std::vector<std::string> body;
    if (icon != "none") body.push_back("(" + icon + ")");
    for (const std::string& line : Lines(CodePageToUtf8(box.text, codePage))) {
        body.push_back(VisibleText(line));
    }
    const std::vector<BoxButton> buttons = BoxButtons(box.type);
    std::string buttonRow;
    for (const BoxButton& button : buttons) {
        buttonRow += (buttonRow.empty() ? "" : "   ") + std::string("[ ") + button.label + " ]";
    }

    std::size_t width = std::max(Columns(title) + 4, Columns(buttonRow));
    for (const std::string& line : body) width = std::max(width, Columns(line));
    width += 4;
    auto rule = [&](const std::string& label) {
        std::string line = "+";
        if (!label.empty()) line += "- " + label + " ";
        while (Columns(line) < width + 1) line += "-";
        return line + "+\n";
    };
    auto row = [&](const std::string& text, bool centred) {
        std::size_t pad = width - Columns(text);
        std::size_t left = centred ? pad / 2 : 2;
        return "|" + std::string(left, ' ') + text + std::string(pad - left, ' ') + "|\n";
    };

    std::string drawing = "\n" + rule(title);
    for (const std::string& line : body) drawing += row(line, false);
    drawing += row("", false) + row(buttonRow, true) + rule("");
    std::fputs(drawing.c_str(), out);

    std::string choices;
    for (const BoxButton& button : buttons) {
        choices += (choices.empty() ? "" : ", ") + button.label;
    }
    for (;;) {
        std::fprintf(out, "Answer (%s; Enter = %s): ", choices.c_str(),
                     buttons.front().label.c_str());
        std::fflush(out);
        std::string line;
        int c;
        while ((c = std::fgetc(in)) != EOF && c != '\n') line += static_cast<char>(c);
        if (c == EOF && line.empty()) {
            std::fputs("\n(no answer: the box counts as not shown)\n", out);
            return -1;
        }
        std::string answer = Lower(line);
        answer.erase(0, answer.find_first_not_of(" \t\r"));
        answer.erase(answer.find_last_not_of(" \t\r") + 1);
        if (answer.empty()) return buttons.front().id;
        for (const BoxButton& button : buttons) {
            std::string label = Lower(button.label);
            if (answer == label || (answer.size() == 1 && answer[0] == label[0])) return button.id;
        }
        std::fprintf(out, "\"%s\" is none of the buttons.\n", VisibleText(line).c_str());
    }
}

}  // namespace kestrow_sim
