#pragma once
// Text at the widget boundary. Engine and settings text is code page 932 bytes;
// widgets hold UTF-16. These are the only conversions the windows need:
//   QStr(cp932)      code page 932 bytes -> QString (undefined bytes become U+FFFD)
//   U8(utf8)         a UTF-8 literal of the program -> QString
//   Cp932(qstring)   QString -> code page 932 ("?" for what code page 932 cannot hold)
//   TryCp932         the strict form: false when a character has no code page 932 form
//   Cp932Length      the bytes a text takes in code page 932 (a character it cannot hold
//                    counts as one byte; callers refuse such text before they store it)
#include <QString>
#include <string>
#include <string_view>

namespace gui {

QString QStr(std::string_view cp932);
QString U8(std::string_view utf8);
std::string Cp932(const QString& text);
bool TryCp932(const QString& text, std::string& out);
int Cp932Length(const QString& text);
// Text of an exception: UTF-8 when it is valid UTF-8, else code page 932.
QString MessageText(std::string_view bytes);

}  // namespace gui
