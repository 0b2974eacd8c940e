// The printers of CUPS, for the spooler. libcups is loaded when a printer is
// first asked for, not at start: a program that opens no printer neither
// pays for loading it nor talks to a server.
//
// Four questions go to the server, each at most once per process, and its
// answer is kept: the default destination, the list of queues, a queue of a
// name, and a queue's default page size. All of them together get 2 s,
// counted from the first (cups.cpp).
#pragma once

#include <string>
#include <vector>

namespace winshim {

// A queue as the server lists it.
struct CupsQueue {
    std::string name;  // printer-name, UTF-8
    std::string make;  // printer-make-and-model
    // The dmPaperSize code of its media-default alone, for a queue without
    // a PPD or whose PPD names no default size.
    short media_paper = 0;
    bool is_class = false;
};

// The default destination as `lpstat -d` names it: LPDEST or PRINTER, the
// user's lpoptions default, else the server's default. An instance
// ("Büro/draft") is its queue ("Büro"). "" when there is none, or the server
// stopped answering. Null when the printers are the store's: when
// WINSHIM_PRINTERS is "store", libcups cannot be loaded, or the first
// question of the process got no answer.
const std::string *CupsDefault();

// Every queue of the server, in its order; none when it stopped answering.
// Null when the printers are the store's, as above.
const std::vector<CupsQueue> *CupsQueues();

// The queue (or, with `is_class`, the class) of that name as the server
// finds it now, which folds ASCII letters alone: asked once a name. kStore
// when the printers are the store's, as above; kNone when there is no such
// queue, or the server stopped answering.
enum class CupsFound { kStore, kNone, kQueue };
CupsFound CupsQueueNamed(const std::string &name, bool is_class, CupsQueue *out);

// The dmPaperSize code of a listed queue's default page size, as Windows'
// spooler maps a PPD page size: the name of the PPD's DefaultPageSize (or,
// for a queue without one, of its media-default) looked up in the page
// sizes that Windows has codes for; DMPAPER_USER for any other size, 0 when
// the queue has no default size at all. False when the server stopped
// answering before it told: the queue counts as gone.
bool CupsPaper(const CupsQueue &queue, short *code);

// The code of a PPD page size name (0 when Windows has none for it).
short PaperCodeOfPageSize(const std::string &name);

}  // namespace winshim
