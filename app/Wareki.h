#pragma once
// Dates in the Japanese calendar, formatted with the date-format letters the windows
// use (texts in UTF-8):
//   g      the era's first character ("平")      gg (or more)  the era's name ("平成")
//   e      the era year                          ee            the era year in two digits
//   yyyy   the year   yy  two digits             m / mm        the month
//   d / dd the day                               anything else is copied
// Eras begin on Meiji 1868/01/01, Taisho 1912/07/30, Showa 1926/12/25, Heisei
// 1989/01/08 and Reiwa 2019/05/01; a date before Meiji has no era text and its
// Western year as era year.
#include "app/DateFormat.h"
