// The print spooler over the registry store, where Windows keeps its state:
// printers under HKLM\SYSTEM\CurrentControlSet\Control\Print\Printers, the
// user forms as REG_BINARY values of ...\Print\Forms, the default printer in
// the current user's "Device" value. Where CUPS answers, the printers and
// the default printer are its queues instead (cups.cpp); forms stay here.

#include "cups.h"
#include "locate.h"

#include <winspool.h>

#include <cstring>
#include <cwchar>

#include <sys/stat.h>
#include <memory>
#include <set>

using winshim::InjectedFault;
using winshim::Root;

namespace {

const char kPrinters[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
const char kForms[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Forms";
const char kWindows[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
constexpr size_t kMaxFormName = CCHFORMNAME - 1;

struct BuiltinForm {
    DWORD flags;
    LONG cx, cy, left, top, right, bottom;
    const char *name;
};

const BuiltinForm kBuiltinForms[] = {
#include "builtin_forms.inc"
};

// A form. Its name is kept as stored (a user form's value name, UTF-8),
// made wide only where it is written out or compared: a list of thousands
// of forms is read for every listing, and a wide copy of each name cost
// more than the listing's own reading.
struct Form {
    DWORD flags;
    std::string name;
    size_t wide_length;  // of the name made wide
    SIZEL size;
    RECTL area;
    DWORD index;
    bool builtin;
};

// A handle from OpenPrinterW: the local print server, or one printer: a
// key of the store, or a queue of CUPS as the server listed it at the open.
struct Printer {
    bool server;
    std::wstring name;
    bool cups = false;
    winshim::CupsQueue queue;
    // Its paper and whether it is the default, asked for once.
    bool asked = false;
    short paper = 0;
    bool is_default = false;
};

// Never destroyed: a handle left open until the process ends is no leak.
std::set<Printer *> &OpenPrinters() {
    static auto *printers = new std::set<Printer *>;
    return *printers;
}

Printer *Lookup(HANDLE handle) {
    Printer *printer = static_cast<Printer *>(handle);
    return OpenPrinters().count(printer) ? printer : nullptr;
}

// A spooler function's failure: the code as the last error, and FALSE.
BOOL Fail(DWORD code) { return winshim::Failure(code, FALSE); }

// Field `i` of a user form's value: eight little-endian 32-bit integers.
LONG Field(const std::string &data, size_t i) { return static_cast<LONG>(winshim::GetLe32(&data[4 * i])); }

// Every form: the built-in ones first, then the user forms of `key` (the
// Forms key's values) in value order. A value that is no form (not
// REG_BINARY of 32 bytes) is passed over.
std::vector<Form> FormsOf(const winshim::KeyData *key) {
    std::vector<Form> forms;
    forms.reserve(std::size(kBuiltinForms) + (key ? key->values.size() : 0));
    for (const BuiltinForm &b : kBuiltinForms)
        forms.push_back({b.flags, b.name, winshim::WideFromUtf8(b.name, nullptr), {b.cx, b.cy},
                         {b.left, b.top, b.right, b.bottom}, static_cast<DWORD>(forms.size() + 1), true});
    if (!key)
        return forms;
    for (const winshim::Value &value : key->values) {
        if (value.type != REG_BINARY || value.data.size() != 32)
            continue;
        const std::string &d = value.data;
        forms.push_back({static_cast<DWORD>(Field(d, 7)), value.name, winshim::WideFromUtf8(value.name, nullptr),
                         {Field(d, 0), Field(d, 1)}, {Field(d, 2), Field(d, 3), Field(d, 4), Field(d, 5)},
                         static_cast<DWORD>(Field(d, 6)), false});
    }
    return forms;
}

// Every form, as the HKLM hive holds them now. A listing asks twice, for
// the size and then for the forms: the second call takes what the first
// loaded while the hive file is the same file, unchanged (a write renames a
// new file into place), so that a large list is read and parsed once.
LONG LoadForms(const std::vector<Form> **out) {
    static struct {
        bool valid = false;
        struct stat file;
        std::vector<Form> forms;
    } loaded;
    struct stat now;
    std::vector<winshim::Location> where;
    if (winshim::Locate(Root::LocalMachine, kForms, winshim::View::Default, &where) != ERROR_SUCCESS ||
        where.empty() || winshim::sys::Stat(where.front().hive.file.c_str(), &now) != 0)
        memset(&now, 0, sizeof now);  // no file: an empty hive, as long as there is none
    if (!loaded.valid || !winshim::SameFileVersion(now, loaded.file)) {
        loaded.valid = false;
        winshim::KeyData data;
        LONG rc = winshim::ReadStoreKey(Root::LocalMachine, kForms, &data);
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            return rc;
        loaded.forms = FormsOf(rc == ERROR_SUCCESS ? &data : nullptr);
        loaded.file = now;
        loaded.valid = true;
    }
    *out = &loaded.forms;
    return ERROR_SUCCESS;
}

const Form *FindForm(const std::vector<Form> &forms, std::wstring_view name) {
    std::wstring wide;
    for (const Form &form : forms) {
        if (form.wide_length != name.size())
            continue;
        wide.resize(form.wide_length);
        winshim::WideFromUtf8(form.name, wide.data());
        if (winshim::EqualNoCaseWide(wide, name))
            return &form;
    }
    return nullptr;
}

bool ValidName(LPCWSTR name) { return name && *name && wcslen(name) <= kMaxFormName; }

// The checks of a form's description, in the spooler's order.
DWORD CheckForm(const FORM_INFO_1W *form) {
    if (!ValidName(form->pName) || form->Flags > FORM_PRINTER)
        return ERROR_INVALID_PARAMETER;
    const SIZEL &s = form->Size;
    const RECTL &a = form->ImageableArea;
    if (s.cx <= 0 || s.cy <= 0 || a.left < 0 || a.top < 0 || a.right > s.cx || a.bottom > s.cy || a.left > a.right ||
        a.top > a.bottom)
        return ERROR_INVALID_FORM_SIZE;
    return ERROR_SUCCESS;
}

// The user form that a change or a deletion names: 1902 when there is no
// such form, 87 for a built-in one.
DWORD FindUserForm(const std::vector<Form> &forms, LPCWSTR name, const Form **found) {
    *found = FindForm(forms, name);
    if (!*found)
        return ERROR_INVALID_FORM_NAME;
    return (*found)->builtin ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

winshim::Value FormValue(const FORM_INFO_1W *form, DWORD index) {
    const LONG fields[8] = {form->Size.cx,
                            form->Size.cy,
                            form->ImageableArea.left,
                            form->ImageableArea.top,
                            form->ImageableArea.right,
                            form->ImageableArea.bottom,
                            static_cast<LONG>(index),
                            static_cast<LONG>(form->Flags)};
    std::string bytes(sizeof fields, '\0');
    for (size_t i = 0; i < std::size(fields); i++)
        winshim::PutLe32(&bytes[4 * i], static_cast<uint32_t>(fields[i]));
    return {winshim::Utf8FromWide(form->pName), REG_BINARY, bytes};
}

// The start of every form edit: a valid handle, level 1, and a spooler
// that may be changed (the HKLM hive writable).
DWORD CheckEdit(HANDLE hPrinter, DWORD level) {
    if (!Lookup(hPrinter))
        return ERROR_INVALID_HANDLE;
    if (level != 1)
        return ERROR_INVALID_LEVEL;
    if (!winshim::StoreWritable(Root::LocalMachine))
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

// Lays out records followed by their strings, packed from the end of the
// block as the spooler packs them.
class Packer {
public:
    Packer(LPBYTE block, size_t size) : block_(block), end_(size) {}
    LPWSTR String(const std::wstring &text) {
        end_ -= (text.size() + 1) * sizeof(WCHAR);
        LPWSTR out = reinterpret_cast<LPWSTR>(block_ + end_);
        memcpy(out, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
        return out;
    }
    // UTF-8 text, `length` characters once made wide.
    LPWSTR String(std::string_view text, size_t length) {
        end_ -= (length + 1) * sizeof(WCHAR);
        LPWSTR out = reinterpret_cast<LPWSTR>(block_ + end_);
        winshim::WideFromUtf8(text, out);
        out[length] = L'\0';
        return out;
    }
    void *Bytes(size_t size) {
        end_ -= size;
        end_ -= end_ % alignof(DEVMODEW);
        return block_ + end_;
    }

private:
    LPBYTE block_;
    size_t end_;
};

size_t StringSize(const std::wstring &text) { return (text.size() + 1) * sizeof(WCHAR); }

// What GetPrinterW and EnumPrintersW tell of a printer.
struct PrinterData {
    std::wstring name, port, driver;
    bool has_devmode = false;
    short paper = 0;
    bool is_default = false;
    std::wstring key;  // the store's key, as spelt there
};

// Of the names of the printers, the one that a name opens: the one spelt
// exactly so, else the first that matches without regard to the case of
// its letters, Latin-1 ones too. CUPS keeps "BÜRO" and "Büro" as two queues,
// and the store as two keys, as its names fold ASCII letters alone.
size_t MatchName(const std::vector<std::wstring> &names, const std::wstring &name) {
    for (size_t i = 0; i < names.size(); i++)
        if (names[i] == name)
            return i;
    for (size_t i = 0; i < names.size(); i++)
        if (winshim::EqualNoCaseWide(names[i], name))
            return i;
    return names.size();
}

// The printer of that name, found as the spooler finds it (MatchName).
LONG ReadPrinter(const std::wstring &name, PrinterData &out) {
    winshim::KeyData printers;
    LONG rc = winshim::ReadStoreKey(Root::LocalMachine, kPrinters, &printers);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::vector<std::wstring> names;
    for (std::string_view sub : printers.subkeys)
        names.push_back(winshim::WideFromUtf8(sub));
    size_t found = MatchName(names, name);
    if (found == names.size())
        return ERROR_FILE_NOT_FOUND;
    std::string key(printers.subkeys[found]);
    winshim::KeyData data;
    rc = winshim::ReadStoreKey(Root::LocalMachine, std::string(kPrinters) + "\\" + key, &data);
    if (rc != ERROR_SUCCESS)
        return rc;
    out.name = name;
    out.key = names[found];
    for (const winshim::Value &value : data.values) {
        std::string text = value.data.substr(0, value.data.find('\0'));
        if (winshim::EqualNoCase(value.name, "PaperSize") && value.type == REG_DWORD && value.data.size() >= 2) {
            out.has_devmode = true;
            out.paper = static_cast<short>(static_cast<unsigned char>(value.data[0]) |
                                           static_cast<unsigned char>(value.data[1]) << 8);
        } else if (winshim::EqualNoCase(value.name, "Port") && value.type == REG_SZ) {
            out.port = winshim::WideFromUtf8(text);
        } else if (winshim::EqualNoCase(value.name, "Printer Driver") && value.type == REG_SZ) {
            out.driver = winshim::WideFromUtf8(text);
        }
    }
    return ERROR_SUCCESS;
}

// The queue of CUPS of that name, found as the spooler finds a printer
// (MatchName), where the server itself folds only ASCII letters.
const winshim::CupsQueue *FindQueue(const std::vector<winshim::CupsQueue> &queues, const std::wstring &name) {
    std::vector<std::wstring> names;
    names.reserve(queues.size());
    for (const winshim::CupsQueue &queue : queues)
        names.push_back(winshim::WideFromUtf8(queue.name));
    size_t found = MatchName(names, name);
    return found < queues.size() ? &queues[found] : nullptr;
}

// A queue's port, as Windows names the port of a printer of CUPS.
std::wstring CupsPort(const std::wstring &name) { return L"CUPS:" + name; }

// What a queue of CUPS tells of itself: every one has a default DEVMODE, with
// the paper code of its default page size.
PrinterData QueueData(const winshim::CupsQueue &queue, short paper) {
    PrinterData data;
    data.name = winshim::WideFromUtf8(queue.name);
    data.port = CupsPort(data.name);
    data.driver = winshim::WideFromUtf8(queue.make);
    data.has_devmode = true;
    data.paper = paper;
    return data;
}

// The queue that a printer's name opens, as the server has it now: the
// queue asked for by that name where the server spells it so, else the one
// the spooler finds among all of them (MatchName: the server folds ASCII
// letters alone), asked for in turn by its own name. A queue deleted since
// the queues were listed is none.
winshim::CupsFound OpenQueue(const std::wstring &name, winshim::CupsQueue *out) {
    std::string asked = winshim::Utf8FromWide(name);
    winshim::CupsFound found = winshim::CupsQueueNamed(asked, false, out);
    if (found != winshim::CupsFound::kNone && (found == winshim::CupsFound::kStore || out->name == asked))
        return found;
    const std::vector<winshim::CupsQueue> *queues = winshim::CupsQueues();
    const winshim::CupsQueue *listed = queues ? FindQueue(*queues, name) : nullptr;
    if (!listed)
        return queues ? winshim::CupsFound::kNone : winshim::CupsFound::kStore;
    return winshim::CupsQueueNamed(listed->name, listed->is_class, out);
}

// Whether the queue is the one that the default destination's name opens.
bool IsCupsDefault(const winshim::CupsQueue &queue) {
    const std::string *name = winshim::CupsDefault();
    winshim::CupsQueue found;
    return name && OpenQueue(winshim::WideFromUtf8(*name), &found) == winshim::CupsFound::kQueue &&
           found.name == queue.name;
}

// The store's "Device" value as it stands ("NAME,winspool,PORT"), or false.
bool StoreDeviceValue(std::string &out) {
    winshim::KeyData data;
    if (winshim::ReadStoreKey(Root::CurrentUser, kWindows, &data) != ERROR_SUCCESS)
        return false;
    for (const winshim::Value &value : data.values)
        if (winshim::EqualNoCase(value.name, "Device") && value.type == REG_SZ) {
            out = value.data.substr(0, value.data.find('\0'));
            return true;
        }
    return false;
}

// The "Device" value: where printers come from CUPS and it has a default
// destination, the entry that names it, as the spooler rewrites the entry
// when the default changes; else the store's as it stands.
bool DeviceValue(std::string &out) {
    const std::string *name = winshim::CupsDefault();
    if (name && !name->empty()) {
        out = *name + ",winspool," + winshim::Utf8FromWide(CupsPort(winshim::WideFromUtf8(*name)));
        return true;
    }
    return StoreDeviceValue(out);
}

// Copies as the profile functions do: cut to nSize - 1 characters,
// terminated, the count copied returned.
DWORD CopyCut(const std::wstring &text, LPWSTR buffer, DWORD size) {
    if (!buffer || size == 0)
        return 0;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    wmemcpy(buffer, text.data(), n);
    buffer[n] = L'\0';
    return static_cast<DWORD>(n);
}

bool DefaultPrinterName(std::wstring &out) {
    if (const std::string *name = winshim::CupsDefault()) {
        out = winshim::WideFromUtf8(*name);
        return !out.empty();
    }
    std::string device;
    if (!StoreDeviceValue(device))
        return false;
    out = winshim::WideFromUtf8(device.substr(0, device.find(',')));
    return !out.empty();
}

size_t PrinterInfoSize(const PrinterData &p) {
    static const std::wstring empty;
    size_t size = sizeof(PRINTER_INFO_2W) + StringSize(p.name) + StringSize(p.port) + StringSize(p.driver) +
                  StringSize(L"winprint") + StringSize(L"RAW") + StringSize(empty);
    if (p.has_devmode)
        size += sizeof(DEVMODEW) + alignof(DEVMODEW);
    return size;
}

void FillPrinterInfo(const PrinterData &p, PRINTER_INFO_2W *info, Packer &packer) {
    memset(info, 0, sizeof *info);
    LPWSTR empty = packer.String(L"");
    info->pPrinterName = packer.String(p.name);
    info->pPortName = packer.String(p.port);
    info->pDriverName = packer.String(p.driver);
    info->pPrintProcessor = packer.String(L"winprint");
    info->pDatatype = packer.String(L"RAW");
    info->pShareName = info->pComment = info->pLocation = info->pSepFile = info->pParameters = empty;
    info->Attributes = PRINTER_ATTRIBUTE_LOCAL | (p.is_default ? PRINTER_ATTRIBUTE_DEFAULT : 0);
    if (p.has_devmode) {
        DEVMODEW *dm = static_cast<DEVMODEW *>(packer.Bytes(sizeof(DEVMODEW)));
        memset(dm, 0, sizeof *dm);
        wcsncpy(dm->dmDeviceName, p.name.c_str(), CCHDEVICENAME - 1);
        dm->dmSize = sizeof(DEVMODEW);
        dm->dmFields = DM_PAPERSIZE;
        dm->dmPaperSize = p.paper;
        info->pDevMode = dm;
    }
}

}  // namespace

// Contract: opens the local print server (pPrinterName null) or the printer
// of that name; a name that is no printer (a key of the store, or a queue of
// CUPS) fails with 1801. The print server is no queue: opening it asks CUPS
// nothing.
extern "C" BOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW) {
    if (DWORD fault = InjectedFault("OpenPrinterW"))
        return Fail(fault);
    if (!phPrinter)
        return Fail(ERROR_INVALID_PARAMETER);
    auto printer = std::make_unique<Printer>();
    printer->server = !pPrinterName;
    if (pPrinterName) {
        printer->name = pPrinterName;
        PrinterData data;
        if (printer->name.empty() || printer->name.find(L'\\') != std::wstring::npos)
            return Fail(ERROR_INVALID_PRINTER_NAME);
        winshim::CupsFound found = OpenQueue(printer->name, &printer->queue);
        if (found == winshim::CupsFound::kNone)
            return Fail(ERROR_INVALID_PRINTER_NAME);
        printer->cups = found == winshim::CupsFound::kQueue;
        if (!printer->cups)
            if (LONG rc = ReadPrinter(printer->name, data))
                return Fail(rc == ERROR_FILE_NOT_FOUND ? ERROR_INVALID_PRINTER_NAME : rc);
    }
    *phPrinter = printer.get();
    OpenPrinters().insert(printer.release());
    return TRUE;
}

// Contract: releases a handle of OpenPrinterW.
extern "C" BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
    if (DWORD fault = InjectedFault("ClosePrinter"))
        return Fail(fault);
    Printer *printer = Lookup(hPrinter);
    if (!printer)
        return Fail(ERROR_INVALID_HANDLE);
    OpenPrinters().erase(printer);
    delete printer;
    return TRUE;
}

// Contract: every form, as FORM_INFO_1W records followed by their names.
// A buffer too small (or none) fails with 122, *pcbNeeded the size needed.
// The server and every printer list the same forms.
extern "C" BOOL WINAPI EnumFormsW(HANDLE hPrinter, DWORD Level, LPBYTE pForm, DWORD cbBuf, LPDWORD pcbNeeded,
                                  LPDWORD pcReturned) {
    if (DWORD fault = InjectedFault("EnumFormsW"))
        return Fail(fault);
    if (!Lookup(hPrinter))
        return Fail(ERROR_INVALID_HANDLE);
    if (Level != 1)
        return Fail(ERROR_INVALID_LEVEL);
    if (!pcbNeeded || !pcReturned)
        return Fail(ERROR_INVALID_PARAMETER);
    const std::vector<Form> *loaded;
    if (LONG rc = LoadForms(&loaded))
        return Fail(rc);
    const std::vector<Form> &forms = *loaded;
    size_t needed = forms.size() * sizeof(FORM_INFO_1W);
    for (const Form &form : forms)
        needed += (form.wide_length + 1) * sizeof(WCHAR);
    *pcbNeeded = static_cast<DWORD>(needed);
    *pcReturned = 0;
    if (!pForm || cbBuf < needed)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    FORM_INFO_1W *records = reinterpret_cast<FORM_INFO_1W *>(pForm);
    Packer packer(pForm, needed);
    for (size_t i = 0; i < forms.size(); i++)
        records[i] = {forms[i].flags, packer.String(forms[i].name, forms[i].wide_length), forms[i].size, forms[i].area};
    *pcReturned = static_cast<DWORD>(forms.size());
    return TRUE;
}

// Form edits check the form list and change it in one transaction under the
// HKLM hive's lock, so that edits run at once end as some order of them
// would, one after the other.

// Contract: adds a user form. Fails with 80 for a name that exists, 87 for
// a bad name or flags, 1903 for a bad size or printable area, 5 when the
// spooler may not be changed.
extern "C" BOOL WINAPI AddFormW(HANDLE hPrinter, DWORD Level, LPBYTE pForm) {
    if (DWORD fault = InjectedFault("AddFormW"))
        return Fail(fault);
    if (DWORD rc = CheckEdit(hPrinter, Level))
        return Fail(rc);
    const FORM_INFO_1W *form = reinterpret_cast<const FORM_INFO_1W *>(pForm);
    if (!form)
        return Fail(ERROR_INVALID_PARAMETER);
    if (DWORD rc = CheckForm(form))
        return Fail(rc);
    LONG rc = winshim::EditStoreKey(Root::LocalMachine, kForms, [form](const winshim::KeyData *key, winshim::HiveEdit &edit) {
        std::vector<Form> forms = FormsOf(key);
        if (FindForm(forms, form->pName))
            return static_cast<LONG>(ERROR_FILE_EXISTS);
        DWORD index = 0;
        for (const Form &f : forms)
            index = f.index > index ? f.index : index;
        winshim::Value value = FormValue(form, index + 1);
        edit = winshim::HiveEdit::Set(kForms, value, value.name, true);
        return static_cast<LONG>(ERROR_SUCCESS);
    });
    return rc == ERROR_SUCCESS ? TRUE : Fail(static_cast<DWORD>(rc));
}

// Contract: changes the user form pFormName to pForm, which may rename it
// (keeping its place and its creation number). 1902 when there is no such
// form, 87 for a built-in one, 80 when the new name is another form's.
extern "C" BOOL WINAPI SetFormW(HANDLE hPrinter, LPWSTR pFormName, DWORD Level, LPBYTE pForm) {
    if (DWORD fault = InjectedFault("SetFormW"))
        return Fail(fault);
    if (DWORD rc = CheckEdit(hPrinter, Level))
        return Fail(rc);
    const FORM_INFO_1W *form = reinterpret_cast<const FORM_INFO_1W *>(pForm);
    if (!form || !ValidName(pFormName))
        return Fail(ERROR_INVALID_PARAMETER);
    if (DWORD rc = CheckForm(form))
        return Fail(rc);
    LONG rc = winshim::EditStoreKey(Root::LocalMachine, kForms,
                                [form, pFormName](const winshim::KeyData *key, winshim::HiveEdit &edit) {
        std::vector<Form> forms = FormsOf(key);
        const Form *old;
        if (DWORD found = FindUserForm(forms, pFormName, &old))
            return static_cast<LONG>(found);
        const Form *clash = FindForm(forms, form->pName);
        if (clash && clash != old)
            return static_cast<LONG>(ERROR_FILE_EXISTS);
        edit = winshim::HiveEdit::Set(kForms, FormValue(form, old->index), old->name, false);
        return static_cast<LONG>(ERROR_SUCCESS);
    });
    return rc == ERROR_SUCCESS ? TRUE : Fail(static_cast<DWORD>(rc));
}

// Contract: deletes the user form pFormName; 1902 when there is none, 87 for
// a built-in form or a bad name.
extern "C" BOOL WINAPI DeleteFormW(HANDLE hPrinter, LPWSTR pFormName) {
    if (DWORD fault = InjectedFault("DeleteFormW"))
        return Fail(fault);
    if (DWORD rc = CheckEdit(hPrinter, 1))
        return Fail(rc);
    if (!ValidName(pFormName))
        return Fail(ERROR_INVALID_PARAMETER);
    LONG rc = winshim::EditStoreKey(Root::LocalMachine, kForms, [pFormName](const winshim::KeyData *key, winshim::HiveEdit &edit) {
        std::vector<Form> forms = FormsOf(key);
        const Form *old;
        if (DWORD found = FindUserForm(forms, pFormName, &old))
            return static_cast<LONG>(found);
        edit = winshim::HiveEdit::Delete(kForms, old->name);
        return static_cast<LONG>(ERROR_SUCCESS);
    });
    return rc == ERROR_SUCCESS ? TRUE : Fail(static_cast<DWORD>(rc));
}

// Contract: level 2 of a printer handle: its name, port, driver, and its
// default DEVMODE when the printer has a PaperSize (else pDevMode is null).
// A queue of CUPS is described as the server listed it, with the paper of
// its default page size; 1801 where the server stopped answering before it
// told that.
extern "C" BOOL WINAPI GetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf, LPDWORD pcbNeeded) {
    if (DWORD fault = InjectedFault("GetPrinterW"))
        return Fail(fault);
    Printer *printer = Lookup(hPrinter);
    if (!printer || printer->server)
        return Fail(ERROR_INVALID_HANDLE);
    if (Level != 2)
        return Fail(ERROR_INVALID_LEVEL);
    if (!pcbNeeded)
        return Fail(ERROR_INVALID_PARAMETER);
    PrinterData data;
    if (printer->cups) {
        // A queue whose page size did not come in time is gone, as the
        // server counts as one without queues from then on.
        if (!printer->asked) {
            if (!winshim::CupsPaper(printer->queue, &printer->paper))
                return Fail(ERROR_INVALID_PRINTER_NAME);
            printer->is_default = IsCupsDefault(printer->queue);
            printer->asked = true;
        }
        data = QueueData(printer->queue, printer->paper);
        data.is_default = printer->is_default;
    } else {
        if (LONG rc = ReadPrinter(printer->name, data))
            return Fail(rc == ERROR_FILE_NOT_FOUND ? ERROR_INVALID_PRINTER_NAME : rc);
        std::wstring default_name;
        PrinterData default_data;
        data.is_default = DefaultPrinterName(default_name) && ReadPrinter(default_name, default_data) == ERROR_SUCCESS &&
                          default_data.key == data.key;
    }
    size_t needed = PrinterInfoSize(data);
    *pcbNeeded = static_cast<DWORD>(needed);
    if (!pPrinter || cbBuf < needed)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    Packer packer(pPrinter, needed);
    FillPrinterInfo(data, reinterpret_cast<PRINTER_INFO_2W *>(pPrinter), packer);
    return TRUE;
}

namespace {

// The queues of CUPS that EnumPrintersW lists: the default one, or all. A
// page size that did not come in time leaves a server without queues: none
// is listed.
void ListQueues(const std::vector<winshim::CupsQueue> &queues, bool only_default, bool has_default,
                const std::wstring &default_name, std::vector<PrinterData> &printers) {
    std::vector<const winshim::CupsQueue *> listed;
    if (only_default) {
        if (const winshim::CupsQueue *queue = has_default ? FindQueue(queues, default_name) : nullptr)
            listed.push_back(queue);
    } else {
        for (const winshim::CupsQueue &queue : queues)
            listed.push_back(&queue);
    }
    for (const winshim::CupsQueue *queue : listed) {
        short paper;
        if (!winshim::CupsPaper(*queue, &paper)) {
            printers.clear();
            return;
        }
        printers.push_back(QueueData(*queue, paper));
    }
}

// The store's printers that EnumPrintersW lists: the default one, or all.
LONG ListStorePrinters(bool only_default, bool has_default, const std::wstring &default_name,
                       std::vector<PrinterData> &printers) {
    if (only_default) {
        PrinterData data;
        if (has_default && ReadPrinter(default_name, data) == ERROR_SUCCESS)
            printers.push_back(data);
        return ERROR_SUCCESS;
    }
    winshim::KeyData keys;
    LONG rc = winshim::ReadStoreKey(Root::LocalMachine, kPrinters, &keys);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        return rc;
    for (std::string_view key : keys.subkeys) {
        PrinterData data;
        if (ReadPrinter(winshim::WideFromUtf8(key), data) == ERROR_SUCCESS)
            printers.push_back(data);
    }
    return ERROR_SUCCESS;
}

}  // namespace

// Contract: level 2 records of the default printer (PRINTER_ENUM_DEFAULT)
// or of every local printer (PRINTER_ENUM_LOCAL): the store's, or the
// queues of CUPS. No printer to list is no failure: *pcReturned is 0.
extern "C" BOOL WINAPI EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                                     LPDWORD pcbNeeded, LPDWORD pcReturned) {
    if (DWORD fault = InjectedFault("EnumPrintersW"))
        return Fail(fault);
    if (Level != 2)
        return Fail(ERROR_INVALID_LEVEL);
    if (!pcbNeeded || !pcReturned)
        return Fail(ERROR_INVALID_PARAMETER);
    if (Name && *Name)
        return Fail(ERROR_INVALID_NAME);
    if (!(Flags & (PRINTER_ENUM_DEFAULT | PRINTER_ENUM_LOCAL)))
        return Fail(ERROR_INVALID_FLAGS);
    bool only_default = Flags & PRINTER_ENUM_DEFAULT;
    std::wstring default_name;
    bool has_default = DefaultPrinterName(default_name);
    std::vector<PrinterData> printers;
    if (const std::vector<winshim::CupsQueue> *queues = winshim::CupsQueues())
        ListQueues(*queues, only_default, has_default, default_name, printers);
    else if (LONG rc = ListStorePrinters(only_default, has_default, default_name, printers))
        return Fail(static_cast<DWORD>(rc));
    std::vector<std::wstring> names;
    names.reserve(printers.size());
    for (const PrinterData &p : printers)
        names.push_back(p.name);
    size_t default_index = has_default ? MatchName(names, default_name) : printers.size();
    if (default_index < printers.size())
        printers[default_index].is_default = true;
    size_t needed = 0;
    for (const PrinterData &p : printers)
        needed += PrinterInfoSize(p);
    *pcbNeeded = static_cast<DWORD>(needed);
    *pcReturned = 0;
    if (needed && (!pPrinterEnum || cbBuf < needed))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    PRINTER_INFO_2W *records = reinterpret_cast<PRINTER_INFO_2W *>(pPrinterEnum);
    Packer packer(pPrinterEnum, needed);
    for (size_t i = 0; i < printers.size(); i++)
        FillPrinterInfo(printers[i], &records[i], packer);
    *pcReturned = static_cast<DWORD>(printers.size());
    return TRUE;
}

// Contract: the default printer's name, the text of "Device" before its
// first comma, or CUPS's default destination as `lpstat -d` names it. ERROR_FILE_NOT_FOUND when there is none; 122 with the size
// needed in *pcchBuffer when it does not fit.
extern "C" BOOL WINAPI GetDefaultPrinterW(LPWSTR pszBuffer, LPDWORD pcchBuffer) {
    if (DWORD fault = InjectedFault("GetDefaultPrinterW"))
        return Fail(fault);
    if (!pcchBuffer)
        return Fail(ERROR_INVALID_PARAMETER);
    std::wstring name;
    if (!DefaultPrinterName(name))
        return Fail(ERROR_FILE_NOT_FOUND);
    if (!pszBuffer || *pcchBuffer <= name.size()) {
        *pcchBuffer = static_cast<DWORD>(name.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(pszBuffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    *pcchBuffer = static_cast<DWORD>(name.size() + 1);
    return TRUE;
}

// Contract: of win.ini, only [windows] device is known: the default
// printer's entry, the current user's "Device" value as Windows maps it to
// the registry (or CUPS's default destination). Anything else, or a missing
// value, gives lpDefault. Returns the count of characters copied.
extern "C" DWORD WINAPI GetProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                                          LPWSTR lpReturnedString, DWORD nSize) {
    if (DWORD fault = InjectedFault("GetProfileStringW"))
        return winshim::Failure(fault, CopyCut(L"", lpReturnedString, nSize));
    std::string device;
    if (lpAppName && lpKeyName && winshim::EqualNoCaseWide(lpAppName, L"windows") &&
        winshim::EqualNoCaseWide(lpKeyName, L"device") && DeviceValue(device))
        return CopyCut(winshim::WideFromUtf8(device), lpReturnedString, nSize);
    return CopyCut(lpDefault ? lpDefault : L"", lpReturnedString, nSize);
}
