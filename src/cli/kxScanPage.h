#pragma once

// orvane-scan's command line as its user reads it: the one-line description, every option with
// its text, and the sections after them (target formats, exit statuses, environment,
// examples). --help, the manual page and the bash completion are made from this one page at
// build time, and the parser accepts exactly the options listed here, so none of them can
// drift from the program.
//
// A new option: a member of TkxScanOptionId, a row in ScanOptions (kxScanPage.cpp), and its
// case in the parser's switch (cli/main.cpp), which does not compile without it.
//
// Standard library only: the manual page's generator links this unit and nothing else.

#include <span>
#include <string>
#include <string_view>

enum class TkxScanOptionId {
    Help,
    Version,
    Range,
    Targets,
    AllowLargeRange,
    Shard,
    Open,
    Run,
    Continue,
    Threads,
    Depth,
    LifeTime,
    Masks,
    ConnectTimeout,
    User,
    Kerberos,
    RememberPassword,
    ForgetPassword,
    NoNetbios,
    AllowSmb1,
    Save,
    Checkpoint,
    Csv,
    CsvRaw,
    Xml,
    Store,
    Scan,
    FromStore,
    Quiet,
};

// What the shell may complete after an option.
enum class TkxScanValue {
    None,    // the option takes no value
    Text,    // a value nobody can guess: no completion
    File,    // any file
    Project, // a project file (*.kxor) or a folder on the way to one
};

struct TkxScanOption {
    TkxScanOptionId Id;
    std::string_view Name;  // "--range"
    std::string_view Alias; // "-h", or empty
    std::string_view Value; // the value as the user writes it ("FILE.kxor"); empty: none
    TkxScanValue Completion;
    std::string_view Text; // what it does, one paragraph; options named in it as --name
};

// A term and what it means: a target format, an exit status, a variable, an example.
struct TkxScanEntry {
    std::string_view Term;
    std::string_view Text;
};

struct TkxScanSection {
    std::string_view Title; // "Exit status"
    std::span<const std::string_view> Paragraphs;
    std::span<const TkxScanEntry> Entries;
    // The terms are command lines (examples): shown after their text, verbatim, wrapped only
    // between words outside quotes.
    bool Commands = false;
};

struct TkxScanPage {
    std::string_view Program;  // "orvane-scan"
    std::string_view Summary;  // one line, lower case first: "search ..."
    std::string_view Synopsis; // after the program's name
    std::span<const std::string_view> Description;
    std::span<const TkxScanOption> Options;
    std::span<const TkxScanSection> Sections;  // after the options
    std::span<const std::string_view> SeeAlso; // manual pages: "orvane(1)"
};

const TkxScanPage& ScanPage();

// The option named exactly `arg` (long name or alias); nullptr when there is none.
const TkxScanOption* FindScanOption(const TkxScanPage& page, std::string_view arg);

// --help: the one-line description first, lines wrapped to `width` columns.
std::string ScanHelpText(const TkxScanPage& page, int width = 79);

// The manual page (man(7) macros) of section 1.
std::string ScanManPage(const TkxScanPage& page, std::string_view version, std::string_view date);

// A bash completion script for the program.
std::string ScanBashCompletion(const TkxScanPage& page);
