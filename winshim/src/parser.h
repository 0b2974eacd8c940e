// A hive's statements as regedit's import reads them: the header, sections,
// key removals, values and their data, and the lines passed over.
#pragma once

#include "lines.h"
#include "lists.h"

namespace winshim {

// Reads a hive file's first line: true when it is a header the reader knows,
// with the file's encoding and the header's format of hex strings.
bool FirstLine(int fd, bool *utf16, bool *wide_strings);

// Tells "winshim: FILE:LINE: REASON" on standard error, for the first line
// passed over in a process, or a file that is no hive.
void ReportOnce(const std::string &file, long line, const char *reason);

// What a parse reports to the code that asked for it, in file order. Offsets
// run from a statement's first byte to just after its last line break.
class Visitor {
public:
    virtual ~Visitor() = default;
    // A line after which the reader carries nothing over from the lines
    // above: a section, a key's removal, or a section that names no key of
    // this hive. Called first for each of them.
    virtual void SectionLineAt(uint64_t begin) { (void)begin; }
    // A section for key `path` (components split by '\\'). Returns whether
    // its values are wanted.
    virtual bool Section(std::string_view path, uint64_t begin, uint64_t end) = 0;
    // "[-ROOT\\path]": the key and everything below it removed.
    virtual void KeyRemoved(std::string_view path, uint64_t begin, uint64_t end) {
        (void)path, (void)begin, (void)end;
    }
    // A value of a wanted section.
    virtual void Found(Value &&value, uint64_t begin, uint64_t end) = 0;
    // "name"=-: a value of a wanted section removed.
    virtual void ValueRemoved(std::string &&name, uint64_t begin, uint64_t end) {
        (void)name, (void)begin, (void)end;
    }
    // A line, or a value's lines, passed over as regedit passes them over.
    virtual void Skipped(uint64_t begin, uint64_t end) { (void)begin, (void)end; }
    // A line of a Wine file that tells of the key whose section it stands
    // in: its time ("#time="), its class ("#class=") or that it is a link
    // ("#link"). Returns whether the section's values are now wanted.
    enum class Attribute { Time, Class, Link };
    virtual bool KeyAttribute(Attribute what, uint64_t begin, uint64_t end) {
        (void)what, (void)begin, (void)end;
        return false;
    }
};

// A hive file read as regedit's import reads it, or a Wine prefix's file as
// Wine reads it. Only a file without a header it knows fails as a whole
// (ERROR_REGISTRY_CORRUPT); a line that cannot be parsed is passed over, the
// first of a process told on standard error as "winshim: FILE:LINE:
// REASON", and the rest is read. A Wine file's sections name keys below its
// root; its names are UTF-16, given here as UTF-8, and so is a string's data
// (UTF-16LE with its terminating unit).
class Parser {
public:
    // `report`: tell the first line passed over on standard error.
    Parser(LineReader &in, const Hive &hive, bool report = true);

    // For a writer, who keeps every line it does not name byte for byte: the
    // values of sections not wanted are read only as far as their lines'
    // shape needs (one without a backslash cannot go on over lines), and
    // lines passed over are not told.
    void SkimUnwanted() { skim_ = true; }

    // Parses the whole file; values go to the visitor only for the sections
    // it wants, though every line is read as carefully (a hex list's lines
    // decide which lines are statements).
    LONG Run(Visitor &visitor);
    // Parses lines taken from the middle of a hive (no header), starting
    // inside a wanted section or outside any.
    LONG RunFragment(Visitor &visitor, bool wide_strings, bool in_section);

    // The header was version 5: strings in hex are UTF-16 there. Reader and
    // writer both take the format of hex strings from here, and the file's
    // own encoding from the line reader.
    bool wide_strings() const { return wide_strings_; }
    bool has_header() const { return has_header_; }
    // Where the lines after the header begin.
    uint64_t body() const { return body_; }
    // Where the statement begins that the end of the file left open (a hex
    // list continued past the last line), or UINT64_MAX.
    uint64_t dangling() const { return dangling_; }
    // The first line passed over: its number and why.
    bool FirstPassedOver(long *line, const char **reason) const {
        *line = passed_line_;
        *reason = passed_reason_;
        return passed_reason_ != nullptr;
    }

private:
    enum class Outcome { Value, Removal, Bad };
    bool HeaderLine(std::string_view line);
    LONG Body(Visitor &visitor, bool in_section, bool wanted);
    void AttributeLine(Visitor &visitor, std::string_view s, bool in_section, bool &wanted);
    void WineSectionLine(Visitor &visitor, std::string_view s, bool &in_section, bool &wanted);
    Outcome WineStatement(std::string_view s, Value &value, bool keep);
    Outcome WineString(std::string_view rest, uint32_t type, Value &value, bool keep);
    void Skip(Visitor &visitor, uint64_t begin, const char *reason);
    void SectionLine(Visitor &visitor, std::string_view s, bool &in_section, bool &wanted);
    bool TakesUnwanted(std::string_view s);
    Outcome Statement(std::string_view s, Value &value, bool keep);
    Outcome Data(std::string_view rest, Value &value, bool keep);
    Outcome Dword(std::string_view rest, Value &value, bool keep);
    Outcome TypedHex(std::string_view rest, Value &value, bool keep);
    bool QuotedString(std::string_view s, size_t &pos, std::string *out);
    bool HexLine(std::string_view s, std::string *out, bool *more);
    bool HexList(std::string_view s, std::string *out);

    LineReader &in_;
    std::string_view root_;
    const std::string &file_;
    bool wine_;
    bool report_;
    bool wide_strings_ = false, has_header_ = false, skim_ = false;
    uint64_t body_ = 0, dangling_ = UINT64_MAX;
    const char *reason_ = nullptr;  // why the last statement was passed over
    long passed_line_ = 0;
    const char *passed_reason_ = nullptr;
    std::string path_;  // a section's path with empty names passed over
    Value fresh_, scratch_;  // a value wanted, and one only checked
};

// How a section's key `path` stands to a key: the same key, a key below it
// (then `child` is the key's subkey on its way), or neither.
enum class Relation { Other, Same, Below };
Relation Relate(std::string_view key, std::string_view path, std::string_view *child);

}  // namespace winshim
