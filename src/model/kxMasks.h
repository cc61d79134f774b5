#pragma once

#include "model/kxErrors.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

class EMaskException : public EkxError {
public:
    using EkxError::EkxError;
};

// A compiled name mask over 8-bit text: '*' any run, '?' one character, '[...]' a set
// ('!' negates, 'x-y' a range), anything else itself, letters compared in ASCII upper case.
// Names and masks arrive as UTF-8, which has no two-byte characters in the code-page sense:
// every byte is one character, so '?' stands for one byte of a multi-byte letter.
//
// Masks are compiled for every name they are tested against, so compiling allocates nothing
// for masks of ordinary length.
class TMask {
public:
    static constexpr int MaxCards = 30; // states that may follow a star

    // Throws EMaskException "'<mask>' is an invalid mask at (<1-based position>)".
    explicit TMask(const QByteArray& mask) : TMask(mask.constData(), mask.size()) {}
    TMask(const char* mask, qsizetype size);
    TMask(const TMask&) = delete;
    TMask& operator=(const TMask&) = delete;

    bool Matches(const QByteArray& name) const { return Matches(name.constData(), name.size()); }
    bool Matches(const char* name, qsizetype size) const;

private:
    enum class Form : quint8 { Literal, Any, Set, End };
    struct State {
        Form Kind;
        bool Star;
        bool Negate;
        quint8 Literal;
        quint32 SetIndex;
    };
    struct CharSet {
        quint64 Bits[4];
        bool Has(quint8 c) const { return (Bits[c >> 6] >> (c & 63)) & 1; }
    };
    struct Counts {
        qsizetype States = 0;
        qsizetype Sets = 0;
    };

    template <bool Fill> Counts Compile(const char* mask, qsizetype size);
    bool StateMatches(const State& s, quint8 c) const;

    static constexpr int InlineStates = 64;
    static constexpr int InlineSets = 4;
    State* States;
    CharSet* Sets;
    std::unique_ptr<State[]> HeapStates;
    std::unique_ptr<CharSet[]> HeapSets;
    State InlineStateBuffer[InlineStates];
    CharSet InlineSetBuffer[InlineSets];
};

// Compiles the mask, matches the name against it and drops the compiled mask.
bool MatchesMask(const QByteArray& name, const QByteArray& mask);
bool MatchesMask(const char* name, qsizetype nameSize, const char* mask, qsizetype maskSize);

// The masks text as a list: ';' and blanks separate masks, double quotes keep them in one.
QStringList SplitMasksText(const QString& text);

// The search's test of a found name: true when one of the masks matches. A mask without a
// dot gets ".*", a name without one gets "."; both are upper-cased and matched as UTF-8.
// Throws EMaskException for an invalid mask that is reached before a match.
bool NameMatchesMasks(const QString& name, const QStringList& masks);
