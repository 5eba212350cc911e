#pragma once
// Small routines shared by the whole engine and its expression evaluator: LIKE
// matching, ISO weeks, rounding, constant checks, text and path manipulation,
// unique temporary names, character classes and minimum/maximum.
//
// Engine text is code page 932: a lead byte (0x81-0x9F, 0xE0-0xFC) takes the next
// byte with it, and that trail byte may be any of 0x40-0xFC, "\" (0x5C) included.
// Everything that looks for a character below therefore walks characters, never
// bytes, so a trail byte is never taken for a character of its own.
#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/files/NameRoutines.h"
#include "engine/files/StringList.h"
#include "engine/files/SysConvert.h"

namespace kura {

// ---- LIKE matching and characters -------------------------------------------

// "%" matches any run of characters (also none), "_" exactly one character (a
// double-byte character counts as one); there is no escape character. Characters
// compare with CompareCharLocale, so the match is as case-sensitive as the locale.
// Null text or pattern count as empty.
bool MatchLikePattern(uint16_t languageId, uint16_t sortId, const char* text, const char* pattern);

// Steps over one character: two bytes for a lead byte not followed by the
// terminator, else one.
void NextCharDBCS(const char*& p);
void NextCharDBCS(char*& p);
// The same steps over a text of known length: its characters, and the bytes of its
// longest start of whole characters that is at most maxChars characters and at
// most maxBytes bytes long (so a cut never keeps a lead byte without its trail).
size_t CharCountDBCS(std::string_view s);
size_t CharPrefixDBCS(std::string_view s, size_t maxChars, size_t maxBytes = SIZE_MAX);

// The first characters of a and b by the locale (-1, 0, 1); a double-byte
// character compares by its second byte when the first bytes are equal.
int32_t CompareCharLocale(uint16_t languageId, uint16_t sortId, const char* a, const char* b);
int32_t CompareCharsLocale(uint16_t languageId, uint16_t sortId, char a, char b);

// Compares length bytes: 1 when a is null; 0 when equal; else by the first
// differing (unsigned) byte, -1 when a's is smaller, reversed when descending.
int32_t CompareBuffers(const void* a, const void* b, uint16_t length, bool descending);

// ---- Dates (day counts as in SysConvert.h; the time of day is ignored) -------
// Dates outside the years 1..9999 (and NaN) give 0.

// Monday 1 ... Sunday 7.
uint8_t ISODayOfWeek(TDateTime date);
// 1 for 1 January.
uint16_t DayOfYear(TDateTime date);
// The Monday that starts week 1 of the year (the week holding 4 January).
TDateTime FirstWeekStart(int year);
// The ISO week number 1..53; late December may be week 1 and early January week 52
// or 53 of the year before.
uint8_t WeekOfYear(TDateTime date);

// ---- Memory blocks ----------------------------------------------------------

// The growth rule of engine buffers. size >= 1: size is rounded up to a multiple of
// step (a step below 1 counts as 1) and, when capacity is smaller, the block is
// reallocated to it (new bytes zero-filled) and capacity updated; it never shrinks.
// size <= 0 with a positive capacity frees the block (buffer null, capacity 0).
// Blocks come from std::malloc/std::realloc and are freed with std::free.
// Throws std::bad_alloc when the memory or the 32-bit size runs out.
void RoundUpToMultiple(int32_t size, int32_t step, void*& buffer, int32_t& capacity);

// ---- Rounding ---------------------------------------------------------------

// 1 when n is 0; x when x is 0 or n is 1; else x multiplied n times.
long double FloatPower(uint8_t n, long double x);
// x rounded to n decimals, halves away from zero.
long double RoundFloat(long double x, uint8_t n);
// c rounded to n decimals (n capped at 4), halves away from zero, exactly in
// ten-thousandths. A value so close to the currency limit that rounding away from
// zero would leave the range rounds toward zero instead.
TCurrency RoundCurrency(TCurrency c, uint8_t n);

// ---- Constant checks (true when the engine-neutral text converts) -----------

bool IsValidWordStr(std::string_view text);      // 0..65535
bool IsValidSmallIntStr(std::string_view text);  // -32768..32767
bool IsValidIntegerStr(std::string_view text);   // 32-bit
bool IsValidLargeIntStr(std::string_view text);  // 64-bit
bool IsValidBooleanStr(std::string_view text);
bool IsValidFloatStr(std::string_view text);
bool IsValidCurrencyStr(std::string_view text);
bool IsValidDateStr(std::string_view text);
bool IsValidTimeStr(std::string_view text);
bool IsValidTimeStampStr(std::string_view text);

// ---- Text -------------------------------------------------------------------

using TCharSet = std::bitset<256>;

// Clears the list and adds the blank-separated words of s; consecutive blanks give
// empty items.
void SplitWords(std::string_view s, TStringList& list);
// token := the part of s before the first separator, s := the part after it;
// without a separator token := s and s := "".
void ExtractToken(std::string& s, std::string_view separator, std::string& token);
std::string PadLeft(std::string_view s, int length, char fill);
std::string LeftStr(std::string_view s, int n);
std::string RightStr(std::string_view s, int n);
// 1-based position of the last occurrence, 0 when none.
int RPos(std::string_view sub, std::string_view s);

// Strip c from both ends / the start / the end of a zero-terminated text, in place.
// Null is answered with null.
char* StrTrimChar(char* s, char c);
char* StrTrimLeadingChar(char* s, char c);
char* StrTrimTrailingChar(char* s, char c);
// 1-based position of the first occurrence, 0 when none (or sub is empty).
int StrPosIndex(const char* sub, const char* s);
// Non-overlapping occurrences.
int StrCountOccurs(const char* sub, const char* s);
// The length of s with every occurrence of oldText replaced by newText.
int StrReplaceLength(const char* oldText, const char* newText, const char* s);
// Writes source with every occurrence replaced into destination, which holds at
// least StrReplaceLength + 1 bytes.
void StrReplaceAll(const char* oldText, const char* newText, const char* source, char* destination);
// Every CR, then every LF deleted.
std::string RemoveLineBreaks(std::string_view s);
// Every pair of adjacent equal quote characters becomes one, scanning from the end;
// the quote is '"' or '\'', any other argument stands for both.
std::string UnquoteDoubled(char quote, std::string_view s);
// Members 1..255 in ascending order.
std::string CharSetToString(const TCharSet& set);
TCharSet StringToCharSet(std::string_view s);
// False when exactly one list is null or the counts differ; else true when every
// item equals its counterpart by the case-insensitive locale comparison. Two null
// lists are the same.
bool SameStringLists(uint16_t languageId, uint16_t sortId, const TStringList* a, const TStringList* b);
// The names of a table (fields, indexes) compare without regard to case by its
// locale; without one (language 0) as every name compares (SameNameText, which folds
// full-width letters too). A zero byte in either makes them equal only when identical.
bool SameNameByLocale(uint16_t languageId, uint16_t sortId, std::string_view a, std::string_view b);
// Clears destination and adds every item of source in order.
void AssignList(const TStringList& source, TStringList& destination);
void ZeroBuffer(void* buffer, uint8_t length);

// ---- Paths and names --------------------------------------------------------
// Engine paths may separate with "\" or "/"; both count as a folder separator below.
// The name and separator scans and name comparisons are in NameRoutines.h.

std::string NormalizePathDelimiters(std::string_view s);  // every "/" made "\"
// Trimmed; "\" appended unless empty or already ending in a separator.
std::string AddTrailingBackslash(std::string_view s);
// Trimmed; one separator removed at the end / the start.
std::string StripTrailingBackslash(std::string_view s);
std::string StripLeadingBackslash(std::string_view s);
// Every separator removed at the end / the start / both.
std::string StripAllTrailingBackslashes(std::string_view s);
std::string StripAllLeadingBackslashes(std::string_view s);
std::string StripBackslashes(std::string_view s);
// True for an empty name and for one with ":" or a separator.
bool ContainsPath(std::string_view s);
// The part after the last separator or ":".
std::string ExtractFileName(std::string_view path);
// The part up to and including the last separator or ":", "" when none.
std::string ExtractFilePath(std::string_view path);
// ExtractFilePath without its trailing separators (a drive's ":" stays).
std::string ExtractFileDir(std::string_view path);
// From the last "." after the last separator, "" when none.
std::string ExtractFileExt(std::string_view path);
// The extension is removed when ext is empty or equals it (without regard to case).
void ExtractFileExtPart(std::string_view s, std::string_view ext, std::string& name);
void SplitFileNameExt(std::string_view path, std::string_view ext, std::string& name);
// s trimmed; an extension equal to oldExt becomes newExt, otherwise newExt is appended.
void ReplaceFileExt(std::string_view s, std::string_view oldExt, std::string_view newExt, std::string& name);
// Whether the engine knows the file: registered in the open-file registry, or, for
// a physical name, an existing file on disk.
bool FileExistsInList(std::string_view name, bool isMemory);
// The first name "<directory>\<thread prefix><counter><extension>", counter from 0,
// that FileExistsInList does not know.
void CreateUniqueFileName(std::string_view directory, std::string_view extension, bool isMemory,
                          std::string& name);

// ---- Character classes ------------------------------------------------------

bool IsIdentStartChar(char c);    // A-Z, _, a-z, bytes 128..254
bool IsDigitChar(char c);         // 0-9
bool IsIdentChar(char c);         // either
bool IsSpecialIdentChar(char c);  // ! $ @
bool IsDelimiterChar(char c);     // * + , - . / : ; < = > \ `

// ---- Numbers ----------------------------------------------------------------

// n + 1, MaxInt wrapping to 1.
int32_t IncWrap(int32_t n);
// On a tie the second argument is returned.
int32_t MaxInt32(int32_t a, int32_t b);
int32_t MinInt32(int32_t a, int32_t b);
int64_t MaxInt64(int64_t a, int64_t b);
int64_t MinInt64(int64_t a, int64_t b);
uint16_t MaxWord(uint16_t a, uint16_t b);
uint16_t MinWord(uint16_t a, uint16_t b);
int16_t MaxSmallInt(int16_t a, int16_t b);
int16_t MinSmallInt(int16_t a, int16_t b);
double MaxDouble(double a, double b);
double MinDouble(double a, double b);
long double MaxExtended(long double a, long double b);
long double MinExtended(long double a, long double b);
uint8_t MaxByte(uint8_t a, uint8_t b);

}  // namespace kura
