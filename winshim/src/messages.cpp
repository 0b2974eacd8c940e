// The system's message texts, in Windows' English wording, each ending with
// the line break that system texts end with.

#include "internal.h"

#include <cstdlib>
#include <cwchar>

using winshim::InjectedFault;

namespace {

const struct {
    DWORD code;
    const wchar_t *text;
} kMessages[] = {
    {ERROR_SUCCESS, L"The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, L"Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, L"The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, L"The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, L"Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, L"The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, L"Not enough memory resources are available to process this command.\r\n"},
    {ERROR_WRITE_FAULT, L"The system cannot write to the specified device.\r\n"},
    {ERROR_READ_FAULT, L"The system cannot read from the specified device.\r\n"},
    {ERROR_SHARING_VIOLATION, L"The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_FILE_EXISTS, L"The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, L"The parameter is incorrect.\r\n"},
    {ERROR_DISK_FULL, L"There is not enough space on the disk.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, L"The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, L"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_INVALID_LEVEL, L"The system call level is not correct.\r\n"},
    {ERROR_MOD_NOT_FOUND, L"The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, L"The specified procedure could not be found.\r\n"},
    {ERROR_BAD_PATHNAME, L"The specified path is invalid.\r\n"},
    {ERROR_ENVVAR_NOT_FOUND, L"The system could not find the environment option that was entered.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, L"The filename or extension is too long.\r\n"},
    {ERROR_MORE_DATA, L"More data is available.\r\n"},
    {ERROR_NO_MORE_ITEMS, L"No more data is available.\r\n"},
    {ERROR_MR_MID_NOT_FOUND,
     L"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {ERROR_INVALID_FLAGS, L"Invalid flags.\r\n"},
    {ERROR_REGISTRY_CORRUPT, L"The configuration registry database is corrupt.\r\n"},
    {ERROR_REGISTRY_IO_FAILED,
     L"An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or write "
     L"out, or flush, one of the files that contain the system's image of the registry.\r\n"},
    {ERROR_KEY_DELETED, L"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {ERROR_NO_UNICODE_TRANSLATION,
     L"No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {ERROR_INVALID_PRINTER_NAME, L"The printer name is invalid.\r\n"},
    {ERROR_RESOURCE_LANG_NOT_FOUND,
     L"The specified resource language ID cannot be found in the image file.\r\n"},
    {ERROR_INVALID_FORM_NAME, L"The specified form name is invalid.\r\n"},
    {ERROR_INVALID_FORM_SIZE, L"The specified form size is invalid.\r\n"},
    {ERROR_CANT_RESOLVE_FILENAME, L"The name of the file cannot be resolved by the system.\r\n"},
};

}  // namespace

// Contract: with FORMAT_MESSAGE_FROM_SYSTEM, the text of a code that winshim
// produces, in the neutral or default language; into lpBuffer (nSize
// characters) or, with FORMAT_MESSAGE_ALLOCATE_BUFFER, into a block stored
// at *(LPWSTR *)lpBuffer that LocalFree releases. Returns the length; 0 and
// 317 for a code without a text. Inserts are not expanded.
extern "C" DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD dwLanguageId,
                                       LPWSTR lpBuffer, DWORD nSize, va_list *) {
    if (DWORD fault = InjectedFault("FormatMessageW"))
        return winshim::Failure(fault, 0);
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) ||
        !lpBuffer)
        return winshim::Failure(ERROR_INVALID_PARAMETER, 0);
    if (dwLanguageId != 0 && dwLanguageId != MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT))
        return winshim::Failure(ERROR_RESOURCE_LANG_NOT_FOUND, 0);
    const wchar_t *text = nullptr;
    for (const auto &message : kMessages)
        if (message.code == dwMessageId)
            text = message.text;
    if (!text)
        return winshim::Failure(ERROR_MR_MID_NOT_FOUND, 0);
    size_t length = wcslen(text);
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        wchar_t *block = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
        if (!block)
            return winshim::Failure(ERROR_NOT_ENOUGH_MEMORY, 0);
        wmemcpy(block, text, length + 1);
        *reinterpret_cast<LPWSTR *>(lpBuffer) = block;
    } else {
        if (nSize <= length)
            return winshim::Failure(ERROR_INSUFFICIENT_BUFFER, 0);
        wmemcpy(lpBuffer, text, length + 1);
    }
    return static_cast<DWORD>(length);
}
