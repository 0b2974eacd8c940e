// The printers of CUPS, for the spooler. libcups is loaded when a printer is
// first asked for, not at start: a program that opens no printer neither
// pays for loading it nor talks to a server.
#pragma once

#include <string>
#include <vector>

namespace winshim {

// A queue as the server lists it.
struct CupsQueue {
    std::string name;    // printer-name, UTF-8
    std::string make;    // printer-make-and-model
    std::string media;   // media-default, a PWG media name
    bool is_class = false;
};

// Whether printers come from CUPS for the rest of the process: not when
// WINSHIM_PRINTERS is "store", nor when libcups cannot be loaded or no
// server answers in time (cups.cpp). Decided at the first call.
bool CupsPrinters();

// Every queue of the server. False when it no longer answers (then it is
// asked nothing more in this process).
bool CupsQueues(std::vector<CupsQueue> &out);

// The default destination as `lpstat -d` names it: LPDEST or PRINTER, the
// user's lpoptions default, else the server's default. False when there is
// none, or the server no longer answers.
bool CupsDefault(std::string &name);

// The dmPaperSize code of the queue's default page size, as Windows' spooler
// maps a PPD page size: the name of the PPD's DefaultPageSize (or, for a
// queue without a PPD, of its media-default) looked up in the page sizes
// that Windows has codes for; DMPAPER_USER for any other size, 0 when the
// queue has no default size at all.
short CupsPaper(const CupsQueue &queue);

// The code of a PPD page size name (0 when Windows has none for it).
short PaperCodeOfPageSize(const std::string &name);

}  // namespace winshim
