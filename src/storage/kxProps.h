#pragma once

// The property bag a window keeps its state in, its text form and the reversible encoding in
// which that text is stored in the settings.

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <vector>

// An ordered list of values. Index 0..3 hold a window's placement; the window's own values
// follow from FirstOwnIndex on.
class TkxProps {
public:
    static constexpr int FirstOwnIndex = 4;

    int Count() const { return int(Values.size()); }
    void Add(const QVariant& value) { Values.push_back(value); }
    // Throw EkxError "Props: Index out of range" outside 0..Count()-1.
    QVariant Items(int i) const;
    void SetItems(int i, const QVariant& value);
    void Clear() { Values.clear(); }

    // Every value as its standard text (integers in decimal), each line ended by CR LF.
    QString GetText() const;
    // Appends one text value per line; CR LF, a lone CR and a lone LF each end a line, and a
    // line break at the very end starts no further line. The bag is not cleared first.
    void SetText(const QString& text);

    // The bag as a streamed component: "object TkxProps", "  Text = ...", "end", CR LF lines.
    QString ComponentText() const;
    // Parses a component text and appends its Text value with SetText. Throws EkxError when
    // the text is not of that form.
    void ReadComponentText(const QString& componentText);

private:
    const QVariant& At(int i) const;
    std::vector<QVariant> Values;
};

// The component text of a bag whose Text property holds `value`. Characters from 32 up, the
// single quote aside, go into quoted runs; every other UTF-16 unit (control characters, the
// quote, and a surrogate without its partner) is written as '#' and its decimal code, so the
// text stays printable and a lone surrogate survives the UTF-8 step of the encoding. Lines of
// the value cover at most 64 units and never split a surrogate pair.
QString PropsComponentText(const QString& value);
// The Text value of a component text. Besides what PropsComponentText writes it accepts
// '' inside a quoted run, #$hex codes, codes above 0xFFFF (a code point), a named object and
// a missing Text property (empty). Throws EkxError on anything else.
QString ParsePropsComponentText(const QString& componentText);

// Each byte b becomes the two upper-case hex digits of 255 - b, low digit first: "abc" is
// stored as E9D9C9.
QString ComplementHexEncode(const QByteArray& bytes);
// The inverse. An odd last character is ignored; a character that is not a hex digit (either
// case) throws EkxError.
QByteArray ComplementHexDecode(const QString& stored);

// The text as UTF-8, encoded / decoded as above.
QString EncodeSettingsText(const QString& text);
QString DecodeSettingsText(const QString& stored);
