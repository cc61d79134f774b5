#include "model/kxLists.h"

#include "model/kxErrors.h"
#include "model/kxUtf8.h"

#include <QLocale>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

static_assert(sizeof(TkxField) == 16, "a tree holds millions of fields");
static_assert(sizeof(TkxInfo) <= 112, "a watcher's number fits what was padding before FileId");

// Texts are kept as UTF-8 with one extension: a lone surrogate is written as its own
// three-byte sequence, so any QString, even one that is not valid UTF-16, comes back as it was.
namespace {

quint32 EncodedSize(QStringView s) {
    quint64 size = 0;
    const qsizetype n = s.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = s[i].unicode();
        if (c < 0x80)
            size += 1;
        else if (c < 0x800)
            size += 2;
        else if (QChar::isHighSurrogate(c) && i + 1 < n &&
                 QChar::isLowSurrogate(s[i + 1].unicode())) {
            size += 4;
            ++i;
        } else
            size += 3;
    }
    if (size > std::numeric_limits<quint32>::max() - sizeof(quint32))
        throw EkxError(QStringLiteral("Text is too long"));
    return quint32(size);
}

void Encode(QStringView s, char* out) {
    const qsizetype n = s.size();
    const char16_t* p = s.utf16();
    for (qsizetype i = 0; i < n; ++i)
        PutUtf8(CodePointAt(p, n, i), out);
}

bool HasLoneSurrogate(const unsigned char* p, quint32 size) {
    for (quint32 i = 0; i + 1 < size; ++i) {
        if (p[i] == 0xED && p[i + 1] >= 0xA0)
            return true;
    }
    return false;
}

// Only for blocks written by Encode.
QString Decode(const char* bytes, quint32 size) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    if (!HasLoneSurrogate(p, size))
        return Utf8Text(QByteArrayView(bytes, qsizetype(size)));
    QString result(qsizetype(size), Qt::Uninitialized);
    QChar* out = result.data();
    quint32 i = 0;
    while (i < size) {
        const unsigned b = p[i];
        char32_t c;
        if (b < 0x80) {
            c = b;
            i += 1;
        } else if (b < 0xE0) {
            c = ((b & 0x1F) << 6) | (p[i + 1] & 0x3F);
            i += 2;
        } else if (b < 0xF0) {
            c = ((b & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F);
            i += 3;
        } else {
            c = ((b & 0x07) << 18) | ((p[i + 1] & 0x3F) << 12) | ((p[i + 2] & 0x3F) << 6) |
                (p[i + 3] & 0x3F);
            i += 4;
            *out++ = QChar(QChar::highSurrogate(c));
            *out++ = QChar(QChar::lowSurrogate(c));
            continue;
        }
        *out++ = QChar(char16_t(c));
    }
    result.truncate(out - result.constData());
    return result;
}

// Whole numbers up to 2^53 are exact in a double and print with all their digits.
QString NumberText(double v) {
    constexpr double Exact = 9007199254740992.0;
    if (v == std::trunc(v) && std::fabs(v) <= Exact)
        return QString::number(qint64(v));
    return QString::number(v, 'g', 15);
}

} // namespace

TkxField::TkxField(const TkxField& other) {
    if (other.Kind == Heap) {
        char* copy = static_cast<char*>(std::malloc(other.HeapSize()));
        if (!copy)
            throw std::bad_alloc();
        std::memcpy(copy, other.HeapBytes(), other.HeapSize());
        std::memcpy(Raw, other.Raw, sizeof Raw);
        std::memcpy(Raw, &copy, sizeof copy);
    } else {
        std::memcpy(Raw, other.Raw, sizeof Raw);
    }
    Kind = other.Kind;
}

TkxField::TkxField(TkxField&& other) noexcept : Kind(other.Kind) {
    std::memcpy(Raw, other.Raw, sizeof Raw);
    other.Kind = Null;
}

TkxField& TkxField::operator=(const TkxField& other) {
    if (this != &other) {
        TkxField copy(other);
        *this = std::move(copy);
    }
    return *this;
}

TkxField& TkxField::operator=(TkxField&& other) noexcept {
    if (this == &other)
        return *this;
    Reset();
    std::memcpy(Raw, other.Raw, sizeof Raw);
    Kind = other.Kind;
    other.Kind = Null;
    return *this;
}

TkxField::~TkxField() {
    Reset();
}

void TkxField::Reset() noexcept {
    if (Kind == Heap)
        std::free(const_cast<char*>(HeapBytes()));
    Kind = Null;
}

double TkxField::Num() const {
    double value;
    std::memcpy(&value, Raw, sizeof value);
    return value;
}

void TkxField::SetNum(double value) {
    std::memcpy(Raw, &value, sizeof value);
}

const char* TkxField::HeapBytes() const {
    const char* bytes;
    std::memcpy(&bytes, Raw, sizeof bytes);
    return bytes;
}

quint32 TkxField::HeapSize() const {
    quint32 size;
    std::memcpy(&size, Raw + sizeof(char*), sizeof size);
    return size;
}

TkxField::Type TkxField::ValueType() const {
    switch (Kind) {
    case Null:
        return Type::Null;
    case Date:
        return Type::Date;
    case Number:
        return Type::Number;
    default:
        return Type::Text;
    }
}

QString TkxField::AsText() const {
    switch (Kind) {
    case Null:
        return {};
    case Heap:
        return Decode(HeapBytes(), HeapSize());
    case Date:
    case DateText:
        return DateTimeText(Num());
    case Number:
        return NumberText(Num());
    default:
        return Decode(reinterpret_cast<const char*>(Raw), quint32(Kind - Inline));
    }
}

QByteArrayView TkxField::Utf8() const {
    if (Kind == Heap)
        return {HeapBytes(), qsizetype(HeapSize())};
    if (Kind > Inline)
        return {reinterpret_cast<const char*>(Raw), qsizetype(Kind - Inline)};
    return {};
}

double TkxField::AsDouble(bool* ok) const {
    bool converted = false;
    double value = 0;
    switch (ValueType()) {
    case Type::Null:
        break;
    case Type::Date:
    case Type::Number:
        value = Num();
        converted = true;
        break;
    case Type::Text: {
        const QString text = AsText().trimmed();
        value = text.toDouble(&converted);
        if (!converted)
            value = QLocale::system().toDouble(text, &converted);
        if (!converted)
            value = 0;
        break;
    }
    }
    if (ok)
        *ok = converted;
    return value;
}

bool TkxField::SetText(const QString& text) {
    if (text.isEmpty()) {
        const bool changed = Kind != Null;
        Reset();
        return changed;
    }
    const quint32 size = EncodedSize(text);
    if (size <= InlineBytes) {
        unsigned char bytes[InlineBytes];
        Encode(text, reinterpret_cast<char*>(bytes));
        if (Kind == Inline + size && std::memcmp(Raw, bytes, size) == 0)
            return false;
        Reset();
        std::memcpy(Raw, bytes, size);
        Kind = quint8(Inline + size);
        return true;
    }
    char* block = static_cast<char*>(std::malloc(size));
    if (!block)
        throw std::bad_alloc();
    Encode(text, block);
    if (Kind == Heap && HeapSize() == size && std::memcmp(HeapBytes(), block, size) == 0) {
        std::free(block);
        return false;
    }
    Reset();
    std::memcpy(Raw, &block, sizeof block);
    std::memcpy(Raw + sizeof block, &size, sizeof size);
    Kind = Heap;
    return true;
}

void TkxField::SetTextOfDate(double days) {
    Reset();
    SetNum(days);
    Kind = DateText;
}

void TkxField::SetDate(double days) {
    Reset();
    if (days > 0) {
        SetNum(days);
        Kind = Date;
    }
}

void TkxField::SetNumber(double value) {
    Reset();
    SetNum(value);
    Kind = Number;
}

void TkxDateTime::SetText(const QString& text) {
    if (const std::optional<double> days = TkxDateTexts::System().Parse(text))
        SetTextOfDate(*days);
    else
        TkxField::SetText(text);
}

QString TkxNumber::SizeText() const {
    bool ok = false;
    const double value = AsDouble(&ok);
    if (!ok || std::isnan(value))
        return {};
    qint64 n;
    if (value >= 9223372036854775807.0)
        n = std::numeric_limits<qint64>::max();
    else if (value <= -9223372036854775808.0)
        n = std::numeric_limits<qint64>::min();
    else
        n = qint64(value); // truncates towards zero
    if (n == 0)
        return {};
    if (n < 1024)
        return QString::number(n) + u'b';
    for (const char16_t* unit : {u"Kb", u"Mb", u"Gb", u"Tb"}) {
        n /= 1024;
        if (n < 1024)
            return QString::number(n) + QString::fromUtf16(unit);
    }
    return QStringLiteral("Very big size");
}

void TkxInfo::SetName(const QString& text) {
    if (!text.isEmpty() && Name.SetText(text))
        NameWatched = 0;
}

void TkxInfo::SetAddress(const QString& text) {
    Address.SetText(text);
    if (Name.IsEmpty() && Name.SetText(text))
        NameWatched = 0;
}
