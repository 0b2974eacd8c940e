// Message boxes: answered from WINSHIM_MSGBOX, else drawn on the terminal.

#include "internal.h"
#include "sys.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>

using winshim::InjectedFault;

namespace {

enum { kNoAnswer = -1 };

// The next scripted answer: IDOK, IDCANCEL, 0 for a box that cannot be
// shown, or kNoAnswer when the script is used up or unset.
int ScriptedAnswer() {
    static std::vector<int> answers = [] {
        std::vector<int> list;
        const char *text = getenv("WINSHIM_MSGBOX");
        std::string all = text ? text : "";
        size_t start = 0;
        while (text && start <= all.size()) {
            size_t comma = all.find(',', start);
            std::string word = all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            if (word == "ok")
                list.push_back(IDOK);
            else if (word == "cancel")
                list.push_back(IDCANCEL);
            else if (word == "fail")
                list.push_back(0);
            else
                winshim::Tell("WINSHIM_MSGBOX: ignoring \"" + word + "\"");
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
        return list;
    }();
    static size_t next = 0;
    return next < answers.size() ? answers[next++] : kNoAnswer;
}

const char *IconMark(UINT type) {
    switch (type & 0xF0) {
    case MB_ICONERROR: return "(x) ";
    case MB_ICONQUESTION: return "(?) ";
    case MB_ICONWARNING: return "(!) ";
    case MB_ICONINFORMATION: return "(i) ";
    default: return "";
    }
}

// Draws the box on the controlling terminal and reads the answer there;
// 0 when there is no terminal.
int TerminalAnswer(LPCSTR text, LPCSTR caption, UINT type) {
    winshim::Fd tty(winshim::sys::Open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (tty.get() < 0)
        return winshim::Failure(ERROR_INVALID_HANDLE, 0);
    bool cancel = (type & 0x0F) == MB_OKCANCEL;
    std::string box = std::string("\n[ ") + (caption ? caption : "Error") + " ]\n" + IconMark(type) +
                      (text ? text : "") + (cancel ? "\n<OK> <Cancel> (o/c)? " : "\n<OK> (Enter) ");
    if (winshim::sys::WriteAll(tty.get(), box.data(), box.size()) != 0)
        return 0;
    std::string reply;
    char c;
    ssize_t n;
    while ((n = winshim::sys::ReadOn(tty.get(), &c, 1)) == 1 && c != '\n')
        reply += c;
    if (!cancel)
        return IDOK;
    if (n != 1)  // the box was closed
        return IDCANCEL;
    return reply.empty() || reply[0] == 'o' || reply[0] == 'O' ? IDOK : IDCANCEL;
}

void JsonString(std::string &out, const char *text) {
    out += '"';
    for (const char *p = text ? text : ""; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char escape[8];
                snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

void Log(LPCSTR text, LPCSTR caption, UINT type, int result) {
    const char *path = getenv("WINSHIM_MSGBOX_LOG");
    if (!path || !*path)
        return;
    std::string line = "{\"caption\": ";
    JsonString(line, caption);
    line += ", \"text\": ";
    JsonString(line, text);
    line += ", \"style\": " + std::to_string(type) + ", \"result\": " + std::to_string(result) + "}\n";
    winshim::sys::AppendUnfaulted(path, line);  // one write: lines of two processes do not mix
}

}  // namespace

// Contract: shows a box of text, caption and style, and returns the button
// pressed (IDOK, IDCANCEL), or 0 when no box can be shown. Answers come from
// WINSHIM_MSGBOX while it has any, then from the terminal; every box is
// logged to WINSHIM_MSGBOX_LOG when that is set.
extern "C" int WINAPI MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    if (DWORD fault = InjectedFault("MessageBoxA"))
        return winshim::Failure(fault, 0);
    int result = ScriptedAnswer();
    if (result == kNoAnswer)
        result = TerminalAnswer(lpText, lpCaption, uType);
    Log(lpText, lpCaption, uType, result);
    return result;
}
