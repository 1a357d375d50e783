#include "qtext.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <iterator>

namespace Platform::Text
{
    namespace
    {
        // The characters of the bytes 0x80 to 0x9F; the others are their own
        // code points.
        constexpr std::array<char16_t, 32> HighBytes = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                                        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                                        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                                        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    } // namespace

    QString fromArchiveText(std::string_view bytes)
    {
        QString text(qsizetype(bytes.size()), Qt::Uninitialized);
        QChar* out = text.data();
        for (const char c : bytes)
        {
            const auto byte = static_cast<unsigned char>(c);
            *out++ = QChar(byte >= 0x80 && byte < 0xA0 ? HighBytes[byte - 0x80] : char16_t(byte));
        }
        return text;
    }

    std::optional<std::string> toArchiveText(const QString& text)
    {
        std::string bytes;
        bytes.reserve(std::size_t(text.size()));
        for (const QChar c : text)
        {
            const char16_t unit = c.unicode();
            if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF))
            {
                bytes.push_back(static_cast<char>(unit));
                continue;
            }
            const auto found = std::find(HighBytes.begin(), HighBytes.end(), unit);
            if (found == HighBytes.end())
                return std::nullopt;
            bytes.push_back(static_cast<char>(0x80 + std::distance(HighBytes.begin(), found)));
        }
        return bytes;
    }

    QString fromPath(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

    std::string toPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

    QString fromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

    std::string toUtf8(const QString& text) { return text.toStdString(); }
} // namespace Platform::Text
