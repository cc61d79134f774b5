// The page of kxScanPage.cpp as --help text, as a manual page and as a bash completion.

#include "cli/kxScanPage.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr std::size_t TextColumn = 25; // where option texts start in --help
constexpr std::string_view ContinueLine = " \\";

// Words split at blanks; with `keepQuotes`, blanks inside double quotes do not split (a
// command line must stay a command line).
std::vector<std::string_view> Words(std::string_view text, bool keepQuotes) {
    std::vector<std::string_view> words;
    std::size_t start = std::string_view::npos;
    bool quoted = false;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const bool end = i == text.size();
        if (!end && keepQuotes && text[i] == '"')
            quoted = !quoted;
        if (end || (text[i] == ' ' && !quoted)) {
            if (start != std::string_view::npos)
                words.push_back(text.substr(start, i - start));
            start = std::string_view::npos;
        } else if (start == std::string_view::npos) {
            start = i;
        }
    }
    return words;
}

// Appends `text` filled to `width`: the first line continues `out`'s last line, which is
// `column` wide already; the others start at `indent`. A word longer than a line gets a line
// of its own; "FIRST - LAST" stays on one line.
void Fill(std::string& out, std::size_t column, std::size_t indent, std::string_view text,
          std::size_t width) {
    std::vector<std::string> units;
    const std::vector<std::string_view> words = Words(text, false);
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "-" && !units.empty() && i + 1 < words.size())
            units.back().append(" - ").append(words[++i]);
        else
            units.emplace_back(words[i]);
    }
    bool first = true;
    for (const std::string& unit : units) {
        if (!first && column + 1 + unit.size() > width) {
            out += '\n';
            out.append(indent, ' ');
            column = indent;
        } else if (!first) {
            out += ' ';
            ++column;
        }
        out += unit;
        column += unit.size();
        first = false;
    }
    out += '\n';
}

// A command line wrapped between words outside quotes, each broken line ended by a backslash
// as the shell continues it.
std::vector<std::string> CommandLines(std::string_view command, std::size_t width) {
    std::vector<std::string> lines(1);
    for (std::string_view word : Words(command, true)) {
        std::string& line = lines.back();
        if (!line.empty() && line.size() + 1 + word.size() + ContinueLine.size() > width) {
            line += ContinueLine;
            lines.emplace_back("    ");
        } else if (!line.empty()) {
            line += ' ';
        }
        lines.back() += word;
    }
    return lines;
}

std::string OptionLabel(const TkxScanOption& o) {
    std::string label;
    if (!o.Alias.empty())
        (label += o.Alias) += ", ";
    label += o.Name;
    if (!o.Value.empty())
        (label += ' ') += o.Value;
    return label;
}

// "  TERM                   text..." or, for a long term, the text on the next line.
void HelpEntry(std::string& out, std::string_view term, std::string_view text, std::size_t width) {
    out += "  ";
    out += term;
    std::size_t column = 2 + term.size();
    if (column + 2 > TextColumn) {
        out += '\n';
        column = 0;
    }
    out.append(TextColumn - column, ' ');
    Fill(out, TextColumn, TextColumn, text, width);
}

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

// --- man(7) ------------------------------------------------------------------------------------

// The next code point of UTF-8 `text` from `i` (advanced); a broken sequence is U+FFFD.
std::uint32_t NextCodePoint(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i++);
    if (lead < 0x80)
        return lead;
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (extra < 0 || i + std::size_t(extra) > text.size())
        return 0xFFFD;
    std::uint32_t cp = lead & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0xFFFD;
        cp = (cp << 6) | (byte(i++) & 0x3F);
    }
    return cp;
}

// Text that roff shows as written: backslashes escaped, minus signs where a hyphen would not
// do (options, ranges, a lone dash), anything beyond ASCII by code point.
std::string RoffText(std::string_view text, bool minusEverywhere = false) {
    std::string out;
    bool inOption = false, quoted = false;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '"')
            quoted = !quoted;
        const bool wordStart = i == 0 || text[i - 1] == ' ' || text[i - 1] == '(' ||
                               text[i - 1] == '"' || text[i - 1] == '[';
        if (c == ' ')
            inOption = false;
        else if (c == '-' && wordStart)
            inOption = true;
        if (static_cast<unsigned char>(c) >= 0x80) {
            char code[16];
            std::snprintf(code, sizeof code, "\\[u%04X]", unsigned(NextCodePoint(text, i)));
            out += code;
            continue;
        }
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            const bool between = i > 0 && i + 1 < text.size() &&
                                 std::isalnum(static_cast<unsigned char>(text[i - 1])) &&
                                 std::isalnum(static_cast<unsigned char>(text[i + 1]));
            // What the user types (an option, a quoted value) keeps its minus signs.
            out += minusEverywhere || inOption || quoted || !between ? "\\-" : "-";
        } else {
            out += c;
        }
        ++i;
    }
    return out;
}

// A line of text that starts with a control character would be taken for a request.
std::string Guarded(std::string line) {
    if (!line.empty() && (line[0] == '.' || line[0] == '\''))
        line.insert(0, "\\&");
    return line;
}

// A line of running text, option names in bold.
std::string RoffLine(std::string_view text) {
    std::string out;
    bool first = true;
    for (std::string_view word : Words(text, false)) {
        if (!first)
            out += ' ';
        first = false;
        std::size_t end = word.size();
        if (word.starts_with("--")) {
            // Trailing punctuation stays roman.
            while (end > 2 && !std::isalnum(static_cast<unsigned char>(word[end - 1])))
                --end;
            out += "\\fB" + RoffText(word.substr(0, end), true) + "\\fR";
            out += RoffText(word.substr(end));
        } else {
            out += RoffText(word);
        }
    }
    return Guarded(std::move(out));
}

void ManParagraphs(std::string& out, std::span<const std::string_view> paragraphs) {
    for (std::string_view p : paragraphs)
        out += ".PP\n" + RoffLine(p) + "\n";
}

// --- bash --------------------------------------------------------------------------------------

std::string ShellWords(const TkxScanPage& page, TkxScanValue kind) {
    std::string words;
    for (const TkxScanOption& o : page.Options) {
        if (o.Completion != kind)
            continue;
        for (std::string_view name : {o.Alias, o.Name}) {
            if (name.empty())
                continue;
            if (!words.empty())
                words += '|';
            words += name;
        }
    }
    return words;
}

std::string FunctionName(std::string_view program) {
    std::string name = "_";
    for (char c : program)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

} // namespace

std::string ScanHelpText(const TkxScanPage& page, int width) {
    const auto w = static_cast<std::size_t>(width);
    std::string out;
    out += page.Program;
    out += " - ";
    out += page.Summary;
    out += "\n\nUsage: ";
    out += page.Program;
    out += ' ';
    out += page.Synopsis;
    out += '\n';
    for (std::string_view p : page.Description) {
        out += '\n';
        Fill(out, 0, 0, p, w);
    }
    out += "\nOptions:\n";
    for (const TkxScanOption& o : page.Options)
        HelpEntry(out, OptionLabel(o), o.Text, w);
    for (const TkxScanSection& s : page.Sections) {
        out += '\n';
        out += s.Title;
        out += ":\n";
        for (std::size_t i = 0; i < s.Paragraphs.size(); ++i) {
            out += i > 0 ? "\n  " : "  ";
            Fill(out, 2, 2, s.Paragraphs[i], w);
        }
        for (std::size_t i = 0; i < s.Entries.size(); ++i) {
            const TkxScanEntry& e = s.Entries[i];
            if (!s.Commands) {
                HelpEntry(out, e.Term, e.Text, w);
                continue;
            }
            out += i > 0 ? "\n  " : "  ";
            Fill(out, 2, 2, e.Text, w);
            for (const std::string& line : CommandLines(e.Term, w - 4))
                out += "    " + line + '\n';
        }
    }
    return out;
}

std::string ScanManPage(const TkxScanPage& page, std::string_view version, std::string_view date) {
    std::string out;
    out += ".\\\" Made from orvane-scan's own option table when it was built; do not edit.\n";
    out += ".TH " + Upper(RoffText(page.Program)) + " 1 \"" + RoffText(date) + "\" \"Orvane " +
           RoffText(version) + "\" \"User Commands\"\n";
    // Names like orvane-scan must not be hyphenated once more.
    out += ".nh\n.ad l\n";
    out += ".SH NAME\n" + RoffText(page.Program, true) + " \\- " + RoffText(page.Summary) + "\n";
    out +=
        ".SH SYNOPSIS\n.B " + RoffText(page.Program, true) + "\n" + RoffText(page.Synopsis) + "\n";
    out += ".SH DESCRIPTION\n";
    ManParagraphs(out, page.Description);
    out += ".SH OPTIONS\n";
    for (const TkxScanOption& o : page.Options) {
        out += ".TP\n";
        if (!o.Alias.empty())
            out += "\\fB" + RoffText(o.Alias, true) + "\\fR, ";
        out += "\\fB" + RoffText(o.Name, true) + "\\fR";
        if (!o.Value.empty())
            out += " \\fI" + RoffText(o.Value, true) + "\\fR";
        out += '\n' + RoffLine(o.Text) + '\n';
    }
    for (const TkxScanSection& s : page.Sections) {
        out += ".SH \"" + Upper(RoffText(s.Title)) + "\"\n";
        ManParagraphs(out, s.Paragraphs);
        for (const TkxScanEntry& e : s.Entries) {
            if (!s.Commands) {
                out += ".TP\n\\fB" + RoffText(e.Term, true) + "\\fR\n" + RoffLine(e.Text) + "\n";
                continue;
            }
            out += ".PP\n" + RoffLine(e.Text) + "\n.PP\n.RS 4\n.nf\n";
            for (const std::string& line : CommandLines(e.Term, 70))
                out += Guarded(RoffText(line, true)) + '\n';
            out += ".fi\n.RE\n";
        }
    }
    if (!page.SeeAlso.empty()) {
        out += ".SH \"SEE ALSO\"\n";
        for (std::size_t i = 0; i < page.SeeAlso.size(); ++i) {
            const std::string_view ref = page.SeeAlso[i];
            const std::size_t paren = ref.find('(');
            out += ".BR " + RoffText(ref.substr(0, paren), true) + " " +
                   std::string(ref.substr(paren == std::string_view::npos ? ref.size() : paren)) +
                   (i + 1 < page.SeeAlso.size() ? "," : "") + "\n";
        }
    }
    return out;
}

std::string ScanBashCompletion(const TkxScanPage& page) {
    std::string all;
    for (const TkxScanOption& o : page.Options) {
        if (!all.empty())
            all += ' ';
        all += o.Name;
    }
    const std::string function = FunctionName(page.Program);
    std::string out;
    out += "# bash completion for " + std::string(page.Program) +
           "; made from its own option table when it was built.\n";
    out += function + "()\n{\n";
    out += "    local cur=${COMP_WORDS[COMP_CWORD]} prev=\n";
    out += "    (( COMP_CWORD > 0 )) && prev=${COMP_WORDS[COMP_CWORD-1]}\n";
    out += "    COMPREPLY=()\n";
    out += "    case $prev in\n";
    if (const std::string project = ShellWords(page, TkxScanValue::Project); !project.empty()) {
        out += "        " + project + ")\n";
        out += "            compopt -o filenames 2>/dev/null\n";
        out += "            mapfile -t COMPREPLY < <(compgen -d -- \"$cur\"; "
               "compgen -f -X '!*.kxor' -- \"$cur\")\n";
        out += "            return ;;\n";
    }
    if (const std::string files = ShellWords(page, TkxScanValue::File); !files.empty()) {
        out += "        " + files + ")\n";
        out += "            compopt -o filenames 2>/dev/null\n";
        out += "            mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n";
        out += "            return ;;\n";
    }
    if (const std::string text = ShellWords(page, TkxScanValue::Text); !text.empty()) {
        out += "        " + text + ")\n";
        out += "            return ;;\n";
    }
    out += "    esac\n";
    out += "    mapfile -t COMPREPLY < <(compgen -W '" + all + "' -- \"$cur\")\n";
    out += "}\n";
    out += "complete -F " + function + " " + std::string(page.Program) + "\n";
    return out;
}
