#include "platform/gui/Text.h"

#include "platform/CodePage.h"

namespace gui {

QString QStr(std::string_view cp932) { return QString::fromStdString(platform::Cp932ToUtf8(cp932)); }

QString U8(std::string_view utf8) { return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())); }

std::string Cp932(const QString& text) { return platform::Utf8ToCp932(text.toStdString()); }

bool TryCp932(const QString& text, std::string& out) { return platform::TryUtf8ToCp932(text.toStdString(), out); }

int Cp932Length(const QString& text) { return static_cast<int>(Cp932(text).size()); }

QString MessageText(std::string_view bytes) {
    const QByteArray raw(bytes.data(), static_cast<qsizetype>(bytes.size()));
    const QString utf8 = QString::fromUtf8(raw);
    if (!utf8.contains(QChar::ReplacementCharacter)) return utf8;
    return QStr(bytes);
}

}  // namespace gui
