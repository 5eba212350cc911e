// The era dates are formatted by FormatDateTime (app/DateFormat.h).
#include "app/Wareki.h"
