// sheetwise's form specs, "NAME:flags:width:height", and the "OLD/spec" of
// --set, on any text. A form spec is taken or refused with a message; a taken one
// names a form whose printable area is the whole sheet.

#define wmain sheetwise_wmain
// The tool itself, so that its static functions and state are at hand.
#include "../sheetwise/sheetwise.cpp"  // NOLINT(bugprone-suspicious-include)
#undef wmain

#include "harness.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks the option; the rest is its text, as UTF-8.
    FormOp op = data[0] % 2 ? Set : Add;
    std::wstring text;
    if (!fuzz::Wide(std::string(reinterpret_cast<const char *>(data + 1), size - 1), text))
        return 0;

    fuzz::Capture quiet;
    editCount = 0;
    int status = fuzz::RunTool([&] {
        RecordEdit(op, &text[0]);
        return 0;
    });
    if (status != 0) {
        if (status != 1 || editCount != 0)
            fuzz::Broken("a refused form spec left an edit or another status");
        return 0;
    }
    const FormEdit &edit = edits[0];
    const FORM_INFO_1W &form = edit.info;
    if (editCount != 1 || !form.pName || !*form.pName || !edit.target)
        fuzz::Broken("a taken form spec without a name");
    if (iswspace(form.pName[0]) || iswspace(form.pName[wcslen(form.pName) - 1]) || wcschr(form.pName, L':'))
        fuzz::Broken("a form name with blanks around it or a colon");
    if (form.Flags > FORM_PRINTER)
        fuzz::Broken("form flags out of range");
    if (form.ImageableArea.left || form.ImageableArea.top || form.ImageableArea.right != form.Size.cx ||
        form.ImageableArea.bottom != form.Size.cy)
        fuzz::Broken("a printable area other than the sheet");
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setlocale(LC_CTYPE, "C.UTF-8");
    return 0;
}
