#include "calendar/CivilDays.h"

namespace calendar {

int DaysIn(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return days[(m - 1) % 12];
}

// H. Hinnant's days-from-civil, moved to a 1601 epoch.
int64_t DayNumber(const CivilTime& t) {
    int64_t y = t.year - (t.month <= 2);
    const unsigned m = unsigned(t.month), d = unsigned(t.day);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468 + 134774;
}

CivilTime CivilOfDay(int64_t day) {
    int64_t z = day - 134774 + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    CivilTime c;
    c.day = int(doy - (153 * mp + 2) / 5 + 1);
    c.month = int(mp < 10 ? mp + 3 : mp - 9);
    c.year = int(int64_t(yoe) + era * 400 + (c.month <= 2));
    return c;
}

int WeekdayOfDay(int64_t day) { return int(((day + 1) % 7 + 7) % 7); }

}  // namespace calendar
