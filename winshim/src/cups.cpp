// The printers of CUPS, through libcups, loaded with dlopen when a printer is
// first asked for: linked in, its thirty-odd libraries would cost every run
// of the program several milliseconds at start, whether it prints or not.
//
// All of a process's questions to CUPS get 2 s together, counted from the
// first, connecting included, whatever the server does. libcups cannot
// bound that itself: its waits start again at every byte that arrives, and
// it retries a request whose answer it cannot read, as often as a server
// answers with garbage. So the conversation with the server is held on a
// thread of its own, and a caller waits for each answer until the deadline
// and no longer. A question still open then is given up for good: the
// callers never touch libcups, and the thread, perhaps blocked in it, is
// left alone until the process ends; what it uses is never destroyed.

#include "cups.h"

#include "internal.h"
#include "sys.h"

#include <cups/cups.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

// What all of a process's questions to CUPS get, from the first.
constexpr int kDeadlineSeconds = 2;
constexpr std::chrono::seconds kDeadline{kDeadlineSeconds};
// How often a wait inside libcups looks at the deadline, in seconds.
constexpr double kWaitSlice = 0.1;
// How long the thread waits on after the deadline, so that a silent server
// is given up by the caller, who says so, and never first by libcups.
constexpr std::chrono::seconds kGrace{1};
// How much of a PPD is read, at most, for its *DefaultPageSize line.
constexpr size_t kMaxPpd = 16u << 20;
// How much of a PPD line is kept: enough for a keyword and its value.
constexpr size_t kLineStart = 256;

// DMPAPER_USER: the first code of the sizes that Windows has no code for.
constexpr short kUserPaper = 256;

// The functions used, each looked up by name.
#define WINSHIM_CUPS_FUNCTIONS(X)                                                                                  \
    X(cupsServer) X(ippPort) X(cupsEncryption) X(cupsSetPasswordCB2) X(httpConnect2) X(httpSetTimeout)            \
    X(httpClose) X(httpClearFields) X(httpGet) X(httpUpdate) X(httpRead2) X(httpFlush) X(httpGetLength2)          \
    X(httpGetRemaining) X(httpGetReady) X(httpGetStatus) X(cupsDoRequest) X(cupsGetNamedDest) X(cupsFreeDests)    \
    X(ippNewRequest) X(ippAddString) X(ippAddStrings) X(ippFirstAttribute) X(ippNextAttribute) X(ippGetName)       \
    X(ippGetGroupTag) X(ippGetString) X(ippGetInteger) X(ippGetStatusCode) X(ippDelete) X(httpAssembleURIf)       \
    X(pwgMediaForPWG)

struct Functions {
// NOLINTNEXTLINE(bugprone-macro-parentheses): f names the member, not a value
#define WINSHIM_CUPS_POINTER(f) decltype(&::f) f = nullptr;
    WINSHIM_CUPS_FUNCTIONS(WINSHIM_CUPS_POINTER)
#undef WINSHIM_CUPS_POINTER
};

bool Load(Functions &cups) {
    void *library = winshim::sys::LoadLibrary("libcups.so.2");
    if (!library)
        return false;
#define WINSHIM_CUPS_LOOKUP(f)                                                                                     \
    cups.f = reinterpret_cast<decltype(cups.f)>(winshim::sys::LibraryFunction(library, #f));                       \
    if (!cups.f)                                                                                                   \
        return false;
    WINSHIM_CUPS_FUNCTIONS(WINSHIM_CUPS_LOOKUP)
#undef WINSHIM_CUPS_LOOKUP
    return true;
}

// libcups calls this whenever a wait has gone kWaitSlice without a byte:
// it waits on until its time is up, then gives up.
int KeepWaiting(http_t *, void *deadline) { return Clock::now() < *static_cast<const Clock::time_point *>(deadline); }

// A server that wants a password gets none: nobody is asked at a terminal.
const char *NoPassword(const char *, http_t *, const char *, const char *, void *) { return nullptr; }

// The requested attributes of every printer listed.
const char *const kAttributes[] = {"printer-name", "printer-make-and-model", "media-default", "printer-type"};

const char kDefaultPageSize[] = "*DefaultPageSize:";

// The value of a "*DefaultPageSize:" line.
std::string ValueOf(const std::string &line) {
    size_t start = line.find_first_not_of(" \t", sizeof kDefaultPageSize - 1);
    if (start == std::string::npos)
        return {};
    size_t end = line.find_first_of(" \t\r", start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The paper code of a queue's media-default alone (a PWG media name).
short MediaPaper(const Functions &cups, const std::string &media) {
    if (media.empty())
        return 0;
    const pwg_media_t *size = cups.pwgMediaForPWG(media.c_str());
    if (!size)
        return 0;
    short code = size->ppd ? winshim::PaperCodeOfPageSize(size->ppd) : 0;
    return code ? code : kUserPaper;
}

// The questions, and an answer as the thread hands it over.
enum class Question { kDefault, kQueues, kQueue, kClass, kPageSize };

struct Answer {
    bool answered = false;  // false: no answer came, or none that could be read
    std::string text;       // the default destination, or the page size
    std::vector<winshim::CupsQueue> queues;
};

// The thread's side of the conversation: libcups and the connection, which
// nothing else touches.
class Conversation {
public:
    explicit Conversation(Clock::time_point deadline) : give_up_(deadline + kGrace) {}

    // libcups loaded, and the server's name known; no contact yet.
    bool Prepare();
    const std::string &server() const { return server_; }

    Answer Ask(Question question, const std::string &queue);

private:
    bool Connect();
    void Drop();
    void Finish();
    Answer Default();
    Answer Queues();
    Answer Queue(const std::string &name, bool is_class);
    void ListQueues(ipp_t *response, std::vector<winshim::CupsQueue> *out);
    Answer PageSize(const std::string &queue);
    bool ReadPageSize(std::string *size, bool *ended);

    Clock::time_point give_up_;
    enum { kUnloaded, kLoaded, kFailed } state_ = kUnloaded;
    Functions cups_;
    std::string server_;
    http_t *http_ = nullptr;  // null: to be connected at the next question
};

bool Conversation::Prepare() {
    if (state_ == kUnloaded) {
        state_ = Load(cups_) ? kLoaded : kFailed;
        if (state_ == kLoaded) {
            cups_.cupsSetPasswordCB2(NoPassword, nullptr);
            server_ = cups_.cupsServer();
        }
    }
    return state_ == kLoaded;
}

bool Conversation::Connect() {
    if (http_)
        return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up_ - Clock::now()).count();
    http_ = cups_.httpConnect2(server_.c_str(), cups_.ippPort(), nullptr, AF_UNSPEC, cups_.cupsEncryption(), 1,
                               left > 0 ? static_cast<int>(left) : 1, nullptr);
    if (!http_)
        return false;
    cups_.httpSetTimeout(http_, kWaitSlice, KeepWaiting, &give_up_);
    return true;
}

// The connection is closed; the next question connects anew.
void Conversation::Drop() {
    cups_.httpClose(http_);
    http_ = nullptr;
}

// The rest of an answer that was not read: taken where all of it has come
// already, else the connection is dropped rather than drained.
void Conversation::Finish() {
    if (cups_.httpGetLength2(http_) >= 0 && cups_.httpGetRemaining(http_) <= cups_.httpGetReady(http_))
        cups_.httpFlush(http_);
    else
        Drop();
}

Answer Conversation::Ask(Question question, const std::string &queue) {
    if (!Connect())
        return {};
    switch (question) {
    case Question::kDefault:
        return Default();
    case Question::kQueues:
        return Queues();
    case Question::kQueue:
    case Question::kClass:
        return Queue(queue, question == Question::kClass);
    case Question::kPageSize:
        return PageSize(queue);
    }
    return {};
}

// libcups finds the default as `lpstat -d` does. It says the same "no
// default destination" whether the server said so or never answered; the
// status of the last HTTP answer tells the two apart.
Answer Conversation::Default() {
    Answer answer;
    cups_dest_t *dest = cups_.cupsGetNamedDest(http_, nullptr, nullptr);
    if (dest) {
        answer.text = dest->name;
        cups_.cupsFreeDests(1, dest);
    }
    answer.answered = dest || cups_.httpGetStatus(http_) == HTTP_STATUS_OK;
    return answer;
}

Answer Conversation::Queues() {
    Answer answer;
    ipp_t *request = cups_.ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    cups_.ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                        static_cast<int>(std::size(kAttributes)), nullptr, kAttributes);
    ipp_t *response = cups_.cupsDoRequest(http_, request, "/");
    if (!response)
        return answer;
    ListQueues(response, &answer.queues);
    cups_.ippDelete(response);
    answer.answered = true;
    return answer;
}

// One queue asked for by its name, as the server finds it (it folds ASCII
// letters alone): none where the server knows no queue of that name.
Answer Conversation::Queue(const std::string &name, bool is_class) {
    Answer answer;
    char uri[1024];
    if (cups_.httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/%s/%s",
                               is_class ? "classes" : "printers", name.c_str()) != HTTP_URI_STATUS_OK) {
        answer.answered = true;  // a name no URI can hold is no queue
        return answer;
    }
    ipp_t *request = cups_.ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    cups_.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    cups_.ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                        static_cast<int>(std::size(kAttributes)), nullptr, kAttributes);
    ipp_t *response = cups_.cupsDoRequest(http_, request, "/");
    if (!response)
        return answer;
    if (cups_.ippGetStatusCode(response) <= IPP_STATUS_OK_EVENTS_COMPLETE)
        ListQueues(response, &answer.queues);
    cups_.ippDelete(response);
    answer.answered = true;
    return answer;
}

// The queues of an answer: the printers' attributes follow one another, a
// nameless one between two printers; no printer at all is an answer too.
void Conversation::ListQueues(ipp_t *response, std::vector<winshim::CupsQueue> *out) {
    winshim::CupsQueue queue;
    std::string media;
    for (ipp_attribute_t *attribute = cups_.ippFirstAttribute(response);; attribute = cups_.ippNextAttribute(response)) {
        const char *name = attribute ? cups_.ippGetName(attribute) : nullptr;
        if (!name) {
            if (!queue.name.empty()) {
                queue.media_paper = MediaPaper(cups_, media);
                out->push_back(queue);
            }
            queue = {};
            media.clear();
            if (!attribute)
                break;
            continue;
        }
        if (cups_.ippGetGroupTag(attribute) != IPP_TAG_PRINTER)
            continue;
        const char *text = strcmp(name, "printer-type") == 0 ? nullptr : cups_.ippGetString(attribute, 0, nullptr);
        if (strcmp(name, "printer-name") == 0 && text)
            queue.name = text;
        else if (strcmp(name, "printer-make-and-model") == 0 && text)
            queue.make = text;
        else if (strcmp(name, "media-default") == 0 && text)
            media = text;
        else if (strcmp(name, "printer-type") == 0)
            queue.is_class = (cups_.ippGetInteger(attribute, 0) & CUPS_PRINTER_CLASS) != 0;
    }
}

// The default page size of a queue's PPD; "" where it has none (a raw
// queue, a PPD without the line).
Answer Conversation::PageSize(const std::string &queue) {
    Answer answer;
    cups_.httpClearFields(http_);
    // httpGet escapes the resource once (bytes above 127, controls, '%'); a
    // queue's name holds nothing else that a path must escape, as CUPS
    // refuses blanks, '/', '\\', '?', '#' and quotes in it.
    std::string resource = "/printers/" + queue + ".ppd";
    if (cups_.httpGet(http_, resource.c_str()) != 0) {
        Drop();
        return answer;
    }
    http_status_t status;
    while ((status = cups_.httpUpdate(http_)) == HTTP_STATUS_CONTINUE) {
    }
    bool ended = false;
    if (status == HTTP_STATUS_ERROR || (status == HTTP_STATUS_OK && !ReadPageSize(&answer.text, &ended))) {
        Drop();
        return answer;
    }
    if (!ended)
        Finish();
    answer.answered = true;
    return answer;
}

// Reads the PPD in hand up to its "*DefaultPageSize:" line, whose value it
// gives, and kMaxPpd bytes at most. *ended: the whole PPD was read. False
// when the connection broke.
bool Conversation::ReadPageSize(std::string *size, bool *ended) {
    std::string line;  // the start of the line in hand
    char block[16384];
    for (size_t total = 0; total < kMaxPpd;) {
        ssize_t got = cups_.httpRead2(http_, block, sizeof block);
        if (got < 0)
            return false;
        if (got == 0) {
            *ended = true;
            break;
        }
        total += static_cast<size_t>(got);
        for (const char *at = block, *end = block + got; at < end;) {
            const char *newline = static_cast<const char *>(memchr(at, '\n', static_cast<size_t>(end - at)));
            const char *stop = newline ? newline : end;
            if (line.size() < kLineStart)
                line.append(at, std::min(static_cast<size_t>(stop - at), kLineStart - line.size()));
            if (!newline)
                break;
            if (line.compare(0, sizeof kDefaultPageSize - 1, kDefaultPageSize) == 0) {
                *size = ValueOf(line);
                return true;
            }
            line.clear();
            at = newline + 1;
        }
    }
    // The last line, where the PPD ends without a line break.
    if (*ended && line.compare(0, sizeof kDefaultPageSize - 1, kDefaultPageSize) == 0)
        *size = ValueOf(line);
    return true;
}

// --- the hand-off -----------------------------------------------------------------

// A question and its answer between a caller and the thread, under
// `mutex`. Made once and never destroyed: when the process ends, the
// thread may still be inside libcups, waiting on a server that does not
// answer.
struct Channel {
    std::mutex mutex;
    std::condition_variable changed;
    Clock::time_point deadline;  // set before the thread starts
    bool posted = false;         // a question waits for the thread
    bool done = false;           // its answer waits for the caller
    Question question = Question::kDefault;
    std::string queue;
    Answer answer;
    std::string server;  // as libcups names it, once the thread knows
};

// The thread: one question at a time, until the process ends.
void *Converse(void *data) {
    Channel &channel = *static_cast<Channel *>(data);
    Conversation conversation(channel.deadline);
    std::unique_lock<std::mutex> lock(channel.mutex);
    for (;;) {
        channel.changed.wait(lock, [&channel] { return channel.posted; });
        channel.posted = false;
        Question question = channel.question;
        std::string queue = channel.queue;
        lock.unlock();
        bool ready = conversation.Prepare();
        lock.lock();
        channel.server = conversation.server();
        lock.unlock();
        Answer answer = ready ? conversation.Ask(question, queue) : Answer{};
        lock.lock();
        channel.answer = std::move(answer);
        channel.done = true;
        channel.changed.notify_all();
    }
}

// The thread takes no signal: they are the program's, whatever thread they
// would find.
bool StartThread(Channel &channel) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, Converse, &channel);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0)
        return false;
    pthread_detach(thread);
    return true;
}

// --- the callers' side -----------------------------------------------------------

enum class Source { kUndecided, kStore, kCups };

// Where the printers come from, and what the server told, each kept for the
// rest of the process; under `asking`, which a caller holds from its
// question to the answer. Never destroyed, as the channel.
struct Facts {
    std::mutex asking;
    Source source = Source::kUndecided;
    Channel *channel = nullptr;  // the thread runs, and the clock with it
    bool over = false;           // a question got no answer: none is asked again
    bool has_default = false;
    std::string default_name;
    bool has_queues = false;
    std::vector<winshim::CupsQueue> queues;
    std::map<std::string, std::vector<winshim::CupsQueue>> named;  // by name asked for, and kind
    std::map<std::string, std::string> page_sizes;  // by queue
};

Facts &TheFacts() {
    static Facts *facts = new Facts;
    return *facts;
}

// Asks the thread one question, `asking` held, and waits for its answer
// until the deadline. The first question decides where the printers come
// from: CUPS where it got an answer, else the store. After a question
// without an answer nothing more is asked: the server counts as none, or,
// where it answered before, as one without queues.
bool Ask(Facts &facts, Question question, const std::string &queue, Answer *out) {
    if (facts.source == Source::kUndecided) {
        const char *choice = getenv("WINSHIM_PRINTERS");
        if (choice && strcmp(choice, "store") == 0)
            facts.source = Source::kStore;
    }
    if (facts.source == Source::kStore || facts.over)
        return false;
    if (!facts.channel) {
        auto *channel = new Channel;
        channel->deadline = Clock::now() + kDeadline;
        if (StartThread(*channel))
            facts.channel = channel;
        else
            delete channel;
    }
    bool answered = false;
    if (Channel *channel = facts.channel) {
        std::unique_lock<std::mutex> lock(channel->mutex);
        channel->question = question;
        channel->queue = queue;
        channel->done = false;
        channel->posted = true;
        channel->changed.notify_all();
        if (channel->changed.wait_until(lock, channel->deadline, [channel] { return channel->done; })) {
            answered = channel->answer.answered;
            *out = std::move(channel->answer);
        } else {
            winshim::Tell("CUPS server " + (channel->server.empty() ? std::string("(unknown)") : channel->server) +
                          " gave no answer within " + std::to_string(kDeadlineSeconds) + " s");
        }
    }
    facts.over = !answered;
    if (facts.source == Source::kUndecided)
        facts.source = answered ? Source::kCups : Source::kStore;
    return answered;
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

const std::string *CupsDefault() {
    Facts &facts = TheFacts();
    std::lock_guard<std::mutex> lock(facts.asking);
    if (!facts.has_default) {
        Answer answer;
        if (Ask(facts, Question::kDefault, {}, &answer))
            facts.default_name = std::move(answer.text);
        facts.has_default = true;
    }
    return facts.source == Source::kCups ? &facts.default_name : nullptr;
}

const std::vector<CupsQueue> *CupsQueues() {
    Facts &facts = TheFacts();
    std::lock_guard<std::mutex> lock(facts.asking);
    if (!facts.has_queues) {
        Answer answer;
        if (Ask(facts, Question::kQueues, {}, &answer))
            facts.queues = std::move(answer.queues);
        facts.has_queues = true;
    }
    return facts.source == Source::kCups ? &facts.queues : nullptr;
}

CupsFound CupsQueueNamed(const std::string &name, bool is_class, CupsQueue *out) {
    Facts &facts = TheFacts();
    std::lock_guard<std::mutex> lock(facts.asking);
    std::string key = (is_class ? "c:" : "p:") + name;
    auto known = facts.named.find(key);
    if (known == facts.named.end()) {
        Answer answer;
        bool answered = Ask(facts, is_class ? Question::kClass : Question::kQueue, name, &answer);
        if (facts.source != Source::kCups)
            return CupsFound::kStore;
        known = facts.named.emplace(key, answered ? std::move(answer.queues) : std::vector<CupsQueue>()).first;
    }
    if (facts.source != Source::kCups)
        return CupsFound::kStore;
    if (known->second.empty())
        return CupsFound::kNone;
    *out = known->second.front();
    return CupsFound::kQueue;
}

bool CupsPaper(const CupsQueue &queue, short *code) {
    std::string size;
    if (!queue.is_class) {
        Facts &facts = TheFacts();
        std::lock_guard<std::mutex> lock(facts.asking);
        auto known = facts.page_sizes.find(queue.name);
        if (known == facts.page_sizes.end()) {
            Answer answer;
            if (!Ask(facts, Question::kPageSize, queue.name, &answer))
                return false;
            known = facts.page_sizes.emplace(queue.name, std::move(answer.text)).first;
        }
        size = known->second;
    }
    if (size.empty()) {
        *code = queue.media_paper;
        return true;
    }
    short found = PaperCodeOfPageSize(size);
    *code = found ? found : kUserPaper;
    return true;
}

short PaperCodeOfPageSize(const std::string &name) {
    for (const auto &size : kPageSizes)
        if (name == size.name)
            return size.code;
    return 0;
}

}  // namespace winshim
