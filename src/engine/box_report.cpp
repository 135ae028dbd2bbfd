// Building the box report from fixed pieces, straight into the destination buffer.
#include "engine/box_report.h"

#include <cstring>
#include <string_view>


namespace morvanel {

namespace {

// Appends to a fixed buffer and remembers when something did not fit.
class CReportWriter {
public:
    CReportWriter(char* destination, size_t capacity) : out(destination), room(capacity) {}

    void Append(std::string_view text) {
        if (length + text.size() >= room) {
            overflowed = true;
            return;
        }
        std::memcpy(out + length, text.data(), text.size());
        length += text.size();
    }

    // Parameter letters come from single script characters; one that JSON cannot carry raw (a
    // quote, a backslash, a control byte such as the NUL a one-character parameter yields) is
    // written as an escape so the report stays valid JSON.
    void AppendLetter(char letter) {
        const unsigned char byte = static_cast<unsigned char>(letter);
        if (letter == '"' || letter == '\\') {
            const char escaped[2] = {'\\', letter};
            Append({escaped, 2});
        } else if (byte < 0x20 || byte >= 0x7F) {
            static constexpr char kHex[] = "0123456789abcdef";
            const char escape[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 15]};
            Append({escape, 6});
        } else {
            Append({&letter, 1});
        }
    }

    // The length when the whole report fitted with room for its NUL to spare, else 0.
    size_t Finish() {
        // The report must be shorter than capacity - 1: one byte short of filling the buffer.
        if (overflowed || length + 1 >= room) {
            if (room > 0) out[0] = '\0';
            return 0;
        }
        out[length] = '\0';
        return length;
    }

private:
    char* out;
    size_t room;
    size_t length = 0;
    bool overflowed = false;
};

}  // namespace

size_t WriteBoxReport(const CBoxRegistry& boxes, char* destination, int32_t capacity) {
    if (destination == nullptr || capacity <= 0) return 0;
    CReportWriter report(destination, static_cast<size_t>(capacity));
    report.Append("[");
    bool first = true;
    for (const auto& [name, box] : boxes.Named()) {
        if (boxes.AnyExported() && !box->exported) continue;
        if (!first) report.Append(",");
        first = false;
        report.Append("\n");
        report.Append("  { \"Name\": \"");
        report.Append(name);
        report.Append("\" ");
        if (!box->paramLetters.empty()) {
            report.Append(", \"Parameters\": [ ");
            for (size_t i = 0; i < box->paramLetters.size(); ++i) {
                if (i > 0) report.Append(", ");
                report.Append("\"");
                report.AppendLetter(box->paramLetters[i]);
                report.Append("\"");
            }
            report.Append(" ] ");
        }
        report.Append("}");
    }
    report.Append("\n]\n");
    return report.Finish();
}

}  // namespace morvanel
