#include "calendar/RecurrenceRule.h"

namespace calendar {

namespace {

std::string UpperTrimmed(const std::string& in) {
    size_t from = in.find_first_not_of(" \t\r\n"), to = in.find_last_not_of(" \t\r\n");
    std::string s = from == std::string::npos ? std::string() : in.substr(from, to - from + 1);
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t from = 0;
    while (true) {
        size_t at = s.find(sep, from);
        out.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) break;
        from = at + 1;
    }
    return out;
}

int WeekdayCode(const std::string& s) {
    static const char* names[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
    for (int k = 0; k < 7; ++k)
        if (s == names[k]) return k;
    return -1;
}

// "yyyymmdd", "yyyymmddThhmmss" or "yyyymmddThhmmssZ".
std::optional<RuleUntil> Until(const std::string& v) {
    auto digits = [&v](size_t from, size_t n) {
        if (from + n > v.size()) return false;
        for (size_t k = from; k < from + n; ++k)
            if (v[k] < '0' || v[k] > '9') return false;
        return true;
    };
    if (!digits(0, 8)) return std::nullopt;
    RuleUntil u;
    u.time.year = std::stoi(v.substr(0, 4));
    u.time.month = std::stoi(v.substr(4, 2));
    u.time.day = std::stoi(v.substr(6, 2));
    if (u.time.year < 1601 || u.time.month < 1 || u.time.month > 12 || u.time.day < 1 ||
        u.time.day > DaysIn(u.time.year, u.time.month))
        return std::nullopt;
    if (v.size() == 8) {
        u.date = true;
        return u;
    }
    if (v.size() < 15 || v[8] != 'T' || !digits(9, 6) || v.size() > 16 || (v.size() == 16 && v[15] != 'Z'))
        return std::nullopt;
    u.time.hour = std::stoi(v.substr(9, 2));
    u.time.minute = std::stoi(v.substr(11, 2));
    u.time.second = std::stoi(v.substr(13, 2));
    if (u.time.hour > 23 || u.time.minute > 59 || u.time.second > 60) return std::nullopt;
    u.utc = v.size() == 16;
    return u;
}

}  // namespace

std::optional<long> SmallNumber(const std::string& s) {
    if (s.empty() || s.size() > 9) return std::nullopt;
    size_t k = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (k == s.size()) return std::nullopt;
    for (size_t i = k; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return std::nullopt;
    return std::stol(s);
}


std::optional<RRule> ParseRRule(const std::string& input) {
    std::string text = UpperTrimmed(input);
    if (text.rfind("RRULE:", 0) == 0) text = text.substr(6);
    RRule r;
    bool haveFreq = false;
    for (const std::string& part : Split(text, ';')) {
        if (part.empty()) continue;
        size_t eq = part.find('=');
        if (eq == std::string::npos) return std::nullopt;
        std::string key = part.substr(0, eq), value = part.substr(eq + 1);
        if (key == "FREQ") {
            static const std::pair<const char*, RRule::Freq> freqs[] = {
                {"SECONDLY", RRule::Freq::Secondly}, {"MINUTELY", RRule::Freq::Minutely}, {"HOURLY", RRule::Freq::Hourly},
                {"DAILY", RRule::Freq::Daily},       {"WEEKLY", RRule::Freq::Weekly},     {"MONTHLY", RRule::Freq::Monthly},
                {"YEARLY", RRule::Freq::Yearly}};
            haveFreq = false;
            for (const auto& [name, f] : freqs)
                if (value == name) {
                    r.freq = f;
                    haveFreq = true;
                }
            if (!haveFreq) return std::nullopt;
        } else if (key == "INTERVAL") {
            auto n = SmallNumber(value);
            if (!n || *n < 1) return std::nullopt;
            r.interval = *n;
        } else if (key == "COUNT") {
            auto n = SmallNumber(value);
            if (!n || *n < 1) return std::nullopt;
            r.count = *n;
        } else if (key == "UNTIL") {
            r.until = Until(value);
            if (!r.until) return std::nullopt;
        } else if (key == "BYDAY") {
            for (const std::string& d : Split(value, ',')) {
                if (d.size() < 2) return std::nullopt;
                int w = WeekdayCode(d.substr(d.size() - 2));
                if (w < 0) return std::nullopt;
                int ord = 0;
                if (d.size() > 2) {
                    auto n = SmallNumber(d.substr(0, d.size() - 2));
                    if (!n || *n == 0 || *n > 53 || *n < -53) return std::nullopt;
                    ord = int(*n);
                }
                r.byDay.emplace_back(ord, w);
            }
        } else if (key == "BYMONTHDAY" || key == "BYMONTH" || key == "BYSETPOS") {
            std::vector<int>& list = key == "BYMONTHDAY" ? r.byMonthDay : key == "BYMONTH" ? r.byMonth : r.bySetPos;
            for (const std::string& v : Split(value, ',')) {
                auto n = SmallNumber(v);
                if (!n) return std::nullopt;
                list.push_back(int(*n));
            }
        } else if (key == "WKST") {
            int w = WeekdayCode(value);
            if (w < 0) return std::nullopt;
            r.weekStart = w;
        } else if (key == "BYSECOND" || key == "BYMINUTE" || key == "BYHOUR" || key == "BYYEARDAY" || key == "BYWEEKNO") {
            r.otherParts = true;
        }
    }
    if (!haveFreq) return std::nullopt;
    return r;
}

}  // namespace calendar
