// The printers of CUPS, through libcups, loaded with dlopen when a printer is
// first asked for: linked in, its thirty-odd libraries would cost every run
// of the program several milliseconds at start, whether it prints or not.
//
// One connection serves the whole process. Connecting may take 0.4 s, and
// a request 1.5 s: libcups waits a second for the start of an answer, then
// kCupsWait for the rest. A server that is stopped, or a host that does not
// answer, costs one such wait, after which the process asks it nothing more:
// a run answers within 2 s whatever the server does.

#include "cups.h"

#include "internal.h"

#include <cups/cups.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kConnectWait = 400;  // milliseconds
constexpr double kCupsWait = 0.5;  // seconds

// DMPAPER_USER: the first code of the sizes that Windows has no code for.
constexpr short kUserPaper = 256;

// The functions used, each looked up by name.
#define WINSHIM_CUPS_FUNCTIONS(X)                                                                                  \
    X(cupsServer) X(ippPort) X(cupsEncryption) X(cupsSetPasswordCB2) X(httpConnect2) X(httpSetTimeout)            \
    X(httpClearFields) X(httpGet) X(httpUpdate) X(httpRead2) X(httpFlush) X(cupsDoRequest) X(cupsGetNamedDest)    \
    X(cupsFreeDests) X(ippNewRequest) X(ippAddStrings) X(ippFirstAttribute) X(ippNextAttribute) X(ippGetName)     \
    X(ippGetGroupTag) X(ippGetString) X(ippGetInteger) X(ippDelete) X(pwgMediaForPWG)

struct Cups {
// NOLINTNEXTLINE(bugprone-macro-parentheses): f names the member, not a value
#define WINSHIM_CUPS_POINTER(f) decltype(&::f) f = nullptr;
    WINSHIM_CUPS_FUNCTIONS(WINSHIM_CUPS_POINTER)
#undef WINSHIM_CUPS_POINTER
    http_t *http = nullptr;  // null: printers come from the store
    bool gone = false;       // the server answered once, then no more
};

bool Load(Cups &cups) {
    void *library = dlopen("libcups.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return false;
#define WINSHIM_CUPS_LOOKUP(f)                                                                                     \
    cups.f = reinterpret_cast<decltype(cups.f)>(dlsym(library, #f));                                               \
    if (!cups.f)                                                                                                   \
        return false;
    WINSHIM_CUPS_FUNCTIONS(WINSHIM_CUPS_LOOKUP)
#undef WINSHIM_CUPS_LOOKUP
    return true;
}

// A request that has waited kCupsWait seconds is given up.
int GiveUp(http_t *, void *) { return 0; }

// A server that wants a password gets none: nobody is asked at a terminal.
const char *NoPassword(const char *, http_t *, const char *, const char *, void *) { return nullptr; }

// The requested attributes of every printer asked about.
const char *const kAttributes[] = {"printer-name", "printer-make-and-model", "media-default", "printer-type"};

// Whether the server answers a request, any answer: the default
// destination, or that there is none.
bool Answers(Cups &cups) {
    ipp_t *request = cups.ippNewRequest(IPP_OP_CUPS_GET_DEFAULT);
    const char *name = "printer-name";
    cups.ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 1, nullptr, &name);
    ipp_t *response = cups.cupsDoRequest(cups.http, request, "/");
    if (!response)
        return false;
    cups.ippDelete(response);
    return true;
}

Cups *Server() {
    static Cups *server = [] {
        const char *choice = getenv("WINSHIM_PRINTERS");
        if (choice && strcmp(choice, "store") == 0)
            return static_cast<Cups *>(nullptr);
        // The connection serves until the process ends.
        static Cups cups;
        if (!Load(cups))
            return static_cast<Cups *>(nullptr);
        cups.cupsSetPasswordCB2(NoPassword, nullptr);
        cups.http = cups.httpConnect2(cups.cupsServer(), cups.ippPort(), nullptr, AF_UNSPEC, cups.cupsEncryption(), 1,
                                      kConnectWait, nullptr);
        if (!cups.http)
            return static_cast<Cups *>(nullptr);
        cups.httpSetTimeout(cups.http, kCupsWait, GiveUp, nullptr);
        return Answers(cups) ? &cups : static_cast<Cups *>(nullptr);
    }();
    return server;
}

// The server, while it answers.
Cups *Answering() {
    Cups *cups = Server();
    return cups && !cups->gone ? cups : nullptr;
}

// The queue's PPD, or "" when it has none (a class, a raw queue) or the
// server no longer answers.
std::string FetchPpd(Cups &cups, const std::string &name) {
    constexpr size_t kMaxPpd = 16u << 20;
    cups.httpClearFields(cups.http);
    // httpGet escapes the resource once (bytes above 127, controls, '%'); a
    // queue's name holds nothing else that a path must escape, as CUPS
    // refuses blanks, '/', '\\', '?', '#' and quotes in it.
    std::string resource = "/printers/" + name + ".ppd";
    if (cups.httpGet(cups.http, resource.c_str()) != 0) {
        cups.gone = true;
        return {};
    }
    http_status_t status;
    while ((status = cups.httpUpdate(cups.http)) == HTTP_STATUS_CONTINUE) {
    }
    if (status == HTTP_STATUS_ERROR) {
        cups.gone = true;
        return {};
    }
    if (status != HTTP_STATUS_OK) {
        cups.httpFlush(cups.http);
        return {};
    }
    std::string ppd;
    char block[16384];
    ssize_t got;
    while ((got = cups.httpRead2(cups.http, block, sizeof block)) > 0 && ppd.size() < kMaxPpd)
        ppd.append(block, static_cast<size_t>(got));
    if (got > 0)
        cups.httpFlush(cups.http);
    else if (got < 0)
        cups.gone = true;
    return ppd;
}

// The value of a PPD's "*DefaultPageSize:" line.
std::string DefaultPageSize(const std::string &ppd) {
    static const char keyword[] = "*DefaultPageSize:";
    for (size_t at = 0; at < ppd.size(); at = ppd.find('\n', at), at += at != std::string::npos) {
        if (ppd.compare(at, sizeof keyword - 1, keyword) != 0)
            continue;
        size_t start = ppd.find_first_not_of(" \t", at + sizeof keyword - 1);
        if (start == std::string::npos)
            return {};
        size_t end = ppd.find_first_of(" \t\r\n", start);
        return ppd.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return {};
}

// Page sizes as a PPD names them, and the dmPaperSize code that Windows
// gives each.
const struct {
    const char *name;
    short code;
} kPageSizes[] = {
    {"Letter", 1},           {"LetterSmall", 2},         {"Tabloid", 3},        {"Ledger", 4},
    {"Legal", 5},            {"Statement", 6},           {"Executive", 7},      {"A3", 8},
    {"A4", 9},               {"A4Small", 10},            {"A5", 11},            {"B4", 12},
    {"B5", 13},              {"Folio", 14},              {"Quarto", 15},        {"10x14", 16},
    {"11x17", 17},           {"Note", 18},               {"Env9", 19},          {"Env10", 20},
    {"Env11", 21},           {"Env12", 22},              {"Env14", 23},         {"AnsiC", 24},
    {"AnsiD", 25},           {"AnsiE", 26},              {"EnvDL", 27},         {"EnvC5", 28},
    {"EnvC3", 29},           {"EnvC4", 30},              {"EnvC6", 31},         {"EnvC65", 32},
    {"EnvISOB4", 33},        {"EnvISOB5", 34},           {"EnvISOB6", 35},      {"EnvItalian", 36},
    {"EnvMonarch", 37},      {"EnvPersonal", 38},        {"FanFoldUS", 39},     {"FanFoldGerman", 40},
    {"FanFoldGermanLegal", 41}, {"ISOB4", 42},           {"Postcard", 43},      {"9x11", 44},
    {"10x11", 45},           {"15x11", 46},              {"EnvInvite", 47},     {"LetterExtra", 50},
    {"LegalExtra", 51},      {"TabloidExtra", 52},       {"A4Extra", 53},       {"LetterTransverse", 54},
    {"A4Transverse", 55},    {"SuperA", 57},             {"SuperB", 58},        {"LetterPlus", 59},
    {"A4Plus", 60},          {"A5Transverse", 61},       {"B5Transverse", 62},  {"A3Extra", 63},
    {"A5Extra", 64},         {"ISOB5Extra", 65},         {"A2", 66},            {"A3Transverse", 67},
    {"DoublePostcard", 69},  {"A6", 70},
};

}  // namespace

namespace winshim {

bool CupsPrinters() { return Server() != nullptr; }

bool CupsQueues(std::vector<CupsQueue> &out) {
    out.clear();
    Cups *cups = Answering();
    if (!cups)
        return false;
    ipp_t *request = cups->ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    cups->ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                        static_cast<int>(std::size(kAttributes)), nullptr, kAttributes);
    ipp_t *response = cups->cupsDoRequest(cups->http, request, "/");
    if (!response) {
        cups->gone = true;
        return false;
    }
    // The printers' attributes follow one another, a nameless one between
    // two printers; no printer at all is an answer too.
    CupsQueue queue;
    for (ipp_attribute_t *attribute = cups->ippFirstAttribute(response);; attribute = cups->ippNextAttribute(response)) {
        const char *name = attribute ? cups->ippGetName(attribute) : nullptr;
        if (!name) {
            if (!queue.name.empty())
                out.push_back(queue);
            queue = {};
            if (!attribute)
                break;
            continue;
        }
        if (cups->ippGetGroupTag(attribute) != IPP_TAG_PRINTER)
            continue;
        const char *text = strcmp(name, "printer-type") == 0 ? nullptr : cups->ippGetString(attribute, 0, nullptr);
        if (strcmp(name, "printer-name") == 0 && text)
            queue.name = text;
        else if (strcmp(name, "printer-make-and-model") == 0 && text)
            queue.make = text;
        else if (strcmp(name, "media-default") == 0 && text)
            queue.media = text;
        else if (strcmp(name, "printer-type") == 0)
            queue.is_class = (cups->ippGetInteger(attribute, 0) & CUPS_PRINTER_CLASS) != 0;
    }
    cups->ippDelete(response);
    return true;
}

bool CupsDefault(std::string &name) {
    Cups *cups = Answering();
    if (!cups)
        return false;
    cups_dest_t *dest = cups->cupsGetNamedDest(cups->http, nullptr, nullptr);
    if (!dest)
        return false;
    name = dest->name;
    cups->cupsFreeDests(1, dest);
    return !name.empty();
}

short PaperCodeOfPageSize(const std::string &name) {
    for (const auto &size : kPageSizes)
        if (name == size.name)
            return size.code;
    return 0;
}

short CupsPaper(const CupsQueue &queue) {
    Cups *cups = Answering();
    std::string size;
    if (cups && !queue.is_class)
        size = DefaultPageSize(FetchPpd(*cups, queue.name));
    if (size.empty() && cups && !queue.media.empty()) {
        const pwg_media_t *media = cups->pwgMediaForPWG(queue.media.c_str());
        if (!media)
            return 0;
        if (media->ppd)
            size = media->ppd;
    }
    if (size.empty())
        return queue.media.empty() ? 0 : kUserPaper;
    short code = PaperCodeOfPageSize(size);
    return code ? code : kUserPaper;
}

}  // namespace winshim
