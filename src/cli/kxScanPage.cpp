#include "cli/kxScanPage.h"

namespace {

using enum TkxScanOptionId;
using V = TkxScanValue;

// In the order --help and the manual page list them.
constexpr TkxScanOption ScanOptions[] = {
    {Range, "--range", "", "\"[NAME=]TARGET\"", V::Text,
     "Add a range (repeatable): TARGET is one address, FIRST - LAST or a CIDR block ADDRESS/N "
     "(see Target formats). Its caption is \"NAME (FIRST-n)\", n being the last address's "
     "fourth octet; without NAME the first address names it."},
    {Targets, "--targets", "", "FILE|-", V::File,
     "Add the ranges of a list of targets (see Lists of targets; repeatable, in order with "
     "--range); - reads the list from standard input. A wrong line stops orvane-scan with "
     "status 2, naming the line and what is wrong, before anything is searched; so does a list "
     "that gives no range."},
    {AllowLargeRange, "--allow-large-range", "", "", V::None,
     "Accept a range of more than 65,536 addresses."},
    {Shard, "--shard", "", "I/N", V::Text,
     "Search only the I-th of N parts of the targets (equal in addresses, the same on every "
     "machine), so that N runs with I = 1..N search every address once; a range cut by the "
     "parts is named \"NAME [k/m]\"."},
    {Open, "--open", "", "FILE.kxor", V::Project,
     "Read a project: its ranges, results and parameters."},
    {Run, "--run", "", "", V::None,
     "Search every range from the top; earlier results are dropped."},
    {Continue, "--continue", "", "", V::None,
     "Explore what is still pending, for example in a project read with --open after an "
     "interrupted search (a new project: all of its ranges)."},
    {Threads, "--threads", "", "N", V::Text,
     "Maximum number of worker threads (default 16, at most 1024)."},
    {Depth, "--depth", "", "N", V::Text,
     "Deepest tree level explored: 1 hosts, 2 shares, 3 the folders of a share, and so on "
     "(default 0: no limit)."},
    {LifeTime, "--lifetime", "", "MIN", V::Text,
     "Minutes one task may run before it is timed out (default 1)."},
    {Masks, "--masks", "", "TEXT", V::Text,
     "File name masks separated by \";\", such as \"*.doc;report*;[a-c]*.txt\" (default *.*). "
     "Folders, shares and hosts are always kept; files only when their name matches."},
    {ConnectTimeout, "--connect-timeout", "", "MS", V::Text,
     "How long an address that does not answer is waited for before it counts as no server, "
     "in milliseconds, 50 to 60000 (default 1000): more for a slow link."},
    {User, "--user", "", "USER", V::Text,
     "Connect as this user (DOMAIN\\user, user@REALM or user) instead of as guest, and never "
     "fall back to guest: a refused logon is a failed task, and each server sees at most one "
     "refused logon per search. The password is taken from ORVANE_PASSWORD; else a valid "
     "Kerberos ticket for user@REALM is used; else the password remembered for USER in the "
     "desktop's secret store, else it is asked for when standard input is a terminal, else an "
     "expired ticket for USER; without any of them orvane-scan stops at once with status 2. A "
     "password is never taken from the command line and never written to a file."},
    {Kerberos, "--kerberos", "", "", V::None,
     "Connect with your Kerberos ticket (KRB5CCNAME, else the default cache) as its principal; "
     "never with a password, NTLM or as guest."},
    {RememberPassword, "--remember-password", "", "", V::None,
     "Keep the password of --user (from ORVANE_PASSWORD or the terminal) in the secret store, "
     "where later runs and the window find it. Alone it searches nothing."},
    {ForgetPassword, "--forget-password", "", "", V::None,
     "Remove the password of --user from the secret store. Alone it searches nothing."},
    {NoNetbios, "--no-netbios", "", "", V::None,
     "Ask hosts without a DNS name for no NetBIOS name (UDP port 137), where such traffic is "
     "unwelcome; they keep their addresses as names."},
    {AllowSmb1, "--allow-smb1", "", "", V::None,
     "Also list servers that speak only SMB1, which is insecure: credentials may go over it. "
     "By default such a server is a failed task: \"The server speaks only SMB1, which is "
     "turned off\"."},
    {Save, "--save", "", "FILE.kxor", V::Project,
     "Write the project when done, also after Ctrl-C, so that it can be continued."},
    {Checkpoint, "--checkpoint", "", "SECONDS", V::Text,
     "While searching, write the file of --save every SECONDS as it stands, so that a killed "
     "run can be continued from it (default 60; 0: only at the end)."},
    {Csv, "--csv", "", "FILE|-", V::File,
     "Write one row per tree node as CSV; - is standard output. A text field that starts with "
     "=, +, -, @, a tab or a CR gets a leading ' so that a spreadsheet shows it as text instead "
     "of running it as a formula."},
    {CsvRaw, "--csv-raw", "", "", V::None, "Write the CSV's texts as they are, for scripts."},
    {Xml, "--xml", "", "FILE", V::File, "Export the tree as XML."},
    {Store, "--store", "", "URL", V::Text,
     "Write what the search finds into a result store while it runs: sqlite:PATH, or "
     "postgresql://USER@HOST:PORT/DB with the password in PGPASSWORD or ~/.pgpass (never in "
     "the URL); needs --scan and --run."},
    {Scan, "--scan", "", "NAME", V::Text,
     "The scan this run belongs to in the store (several runs, shards or nights, of one "
     "scan)."},
    {FromStore, "--from-store", "", "URL", V::Text,
     "Build the project of the scan --scan NAME from a store: the latest finished run of every "
     "shard (else its latest run, whose unexplored nodes stay pending); write it with --save, "
     "--csv or --xml."},
    {Quiet, "--quiet", "", "", V::None, "No progress on standard error."},
    {Help, "--help", "-h", "", V::None, "Print this text and exit."},
    {Version, "--version", "", "", V::None, "Print the program's name and version and exit."},
};

constexpr std::string_view Description[] = {
    "orvane-scan visits every address of the given IPv4 ranges, resolves each host's name, "
    "lists its SMB shares and walks their folders level by level, down to the depth chosen, on "
    "a pool of worker threads. Everything found forms one tree: range, host, share, folder, "
    "file. It runs the same search engine and reads and writes the same project files as the "
    "Orvane window.",
    "Without --run or --continue nothing is searched: the project is only built or read, then "
    "saved or exported. Progress goes to standard error, a summary to standard output. Every "
    "failed task (a listing the server refused or lost, a folder loop, a time-out) is reported "
    "on standard error with its reason, and the summary counts them.",
};

constexpr std::string_view TargetNotes[] = {
    "--range takes one target, --targets a list of them. Each address is four decimal octets "
    "of at most 255; a typo is refused, never read as another address. A range of more than "
    "65,536 addresses also needs --allow-large-range. Each range is stored in the project as "
    "the ordinary range it stands for, FIRST - LAST.",
};
constexpr TkxScanEntry TargetFormats[] = {
    {"ADDRESS", "One address, such as 192.0.2.7."},
    {"FIRST - LAST", "Every address from FIRST to LAST, both included, such as "
                     "192.0.2.1 - 192.0.2.254."},
    {"ADDRESS/N", "A CIDR block, N from 0 to 32, such as 192.0.2.0/24: from the block's first "
                  "address to its last, network and broadcast addresses included. An address "
                  "inside the block stands for the whole block."},
    {"NAME=TARGET", "Any of them, captioned NAME."},
};

constexpr std::string_view TargetListNotes[] = {
    "One target a line, as for --range. Blank lines and lines starting with # are skipped; a "
    "comment after a target is an error, not a comment. Lines may end in LF or CR LF; a file "
    "must be UTF-8 text (a byte order mark is fine) of at most 16 MiB.",
    "A line !TARGET is an exclusion (an address, range or block, no name): it is taken out of "
    "every range given before it, never out of later ones. A range it splits becomes pieces "
    "named \"NAME #1\", \"NAME #2\", ... in address order; one it only shortens keeps its "
    "name, one it covers whole is gone. An unnamed range's pieces are named after their first "
    "addresses. An exclusion before any range is an error.",
};

constexpr std::string_view OutputNotes[] = {
    "--save, --csv and --xml are each checked before the search and written on their own "
    "afterwards. An existing target must be a regular file (a link to one is followed), and it "
    "is replaced only by a file that was written completely. Each output option may be given "
    "once, and no two outputs (nor --csv or --xml and the --open project) may name the same "
    "file.",
    "Ctrl-C (and SIGTERM, SIGHUP) stops the search like the Stop command of the window: "
    "unfinished folders are queued again and the project is still saved, so it can be "
    "continued. While the results are written, a first Ctrl-C only warns and a second one "
    "aborts.",
};

constexpr TkxScanEntry ExitStatus[] = {
    {"0", "The search finished (or none was asked for) and every output was written. With "
          "--from-store: every shard finished."},
    {"1", "The search failed or was stopped, or an output could not be written. A store that "
          "fails during the search is reported once; the search goes on, and the status is 1 "
          "unless it already says something failed. With --from-store: a shard is unfinished "
          "or missing (or an output could not be written)."},
    {"2", "Bad usage: an unknown option, a bad value, an output that cannot be written, no "
          "password for --user, or a --store that cannot be used. Nothing was searched. With "
          "--from-store: the store could not be read."},
    {"3", "The search finished but tasks failed: listings refused or lost, reported on "
          "standard error. With --from-store: every shard finished but tasks failed."},
};

constexpr TkxScanEntry Environment[] = {
    {"ORVANE_PASSWORD",
     "The password of --user. It is removed from the environment as soon as it is read, and "
     "helper processes never see it."},
    {"ORVANE_SMB_HELPERS",
     "A fixed number of SMB helper processes, 1 to 256. Without it the pool follows the work: "
     "it grows while listings wait and the machine has CPU to spare."},
    {"ORVANE_SMB_HELPER",
     "The SMB helper program to start when it is neither next to orvane-scan nor in its "
     "installed place."},
    {"KRB5CCNAME",
     "The Kerberos ticket cache of --kerberos, and of --user when it holds a ticket of that "
     "user (else the default cache)."},
    {"PGPASSWORD", "The password of a postgresql:// store; without it ~/.pgpass is read."},
};

constexpr TkxScanEntry Files[] = {
    {"/usr/libexec/orvane/orvane-smb-helper",
     "The helper process that lists shares and folders; libsmbclient runs only there."},
    {"~/.smb/smb.conf", "The SMB client settings libsmbclient reads."},
};

constexpr TkxScanEntry Examples[] = {
    {"orvane-scan --range \"Office=192.0.2.1 - 192.0.2.254\" --masks \"*.doc;*.pdf\" --run "
     "--save office.kxor --csv -",
     "Search one office network for documents, save the project and print every node as CSV."},
    {"orvane-scan --open office.kxor --continue --save office.kxor",
     "Continue an interrupted search where it stopped."},
    {"ORVANE_PASSWORD=secret orvane-scan --user \"EXAMPLE\\alice\" --remember-password",
     "Remember a password in the secret store for later searches as EXAMPLE\\alice."},
    {"orvane-scan --range 198.51.100.10-198.51.100.20 --depth 2 --run",
     "List the shares of eleven hosts without entering them."},
    {"orvane-scan --targets offices.txt --masks \"*.pdf\" --run --save offices.kxor",
     "Search the ranges of a list of targets, such as a file holding the lines "
     "\"Office=10.1.2.0/24\" and \"!10.1.2.1\" (the whole block but its router)."},
    {"orvane-scan --targets offices.txt --shard 2/4 --run --store sqlite:scans.db --scan nightly",
     "Search the second of four parts of the targets into a SQLite store as the scan "
     "nightly; once the four parts have run, orvane-scan --from-store sqlite:scans.db --scan "
     "nightly --save nightly.kxor makes one project of them."},
};

constexpr TkxScanSection Sections[] = {
    {"Target formats", TargetNotes, TargetFormats},
    {"Lists of targets", TargetListNotes, {}},
    {"Outputs and stopping", OutputNotes, {}},
    {"Exit status", {}, ExitStatus},
    {"Environment", {}, Environment},
    {"Files", {}, Files},
    {"Examples", {}, Examples, true},
};

constexpr std::string_view SeeAlso[] = {"orvane(1)"};

constexpr TkxScanPage Page{
    "orvane-scan", "search networks for SMB shares, folders and files matching masks",
    "[OPTION]...", Description,
    ScanOptions,   Sections,
    SeeAlso,
};

} // namespace

const TkxScanPage& ScanPage() {
    return Page;
}

const TkxScanOption* FindScanOption(const TkxScanPage& page, std::string_view arg) {
    for (const TkxScanOption& o : page.Options) {
        if (arg == o.Name || (!o.Alias.empty() && arg == o.Alias))
            return &o;
    }
    return nullptr;
}
