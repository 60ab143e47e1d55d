#include "protocol/trading_day.h"

#include <algorithm>
#include <vector>

#include "protocol/json_text.h"

namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

bool IsAllWeek(const std::string& session) {
    std::string s = Trimmed(session);
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return static_cast<char>(c | 0x20); });
    return s == "24x7";
}

// Which weekdays (0 = Sunday) have a session: the digits after ":" in each
// "|"-separated part, 1 = Sunday ... 7 = Saturday; none: Monday to Friday.
void SessionWeekdays(const std::string& session, bool (&open)[7]) {
    bool anyMask = false;
    std::fill(std::begin(open), std::end(open), false);
    size_t part = 0;
    while (part <= session.size()) {
        size_t end = session.find('|', part);
        if (end == std::string::npos) end = session.size();
        const size_t colon = session.find(':', part);
        if (colon != std::string::npos && colon < end) {
            for (size_t i = colon + 1; i < end; ++i) {
                if (session[i] >= '1' && session[i] <= '7') {
                    open[session[i] - '1'] = true;
                    anyMask = true;
                }
            }
        }
        part = end + 1;
    }
    if (!anyMask) std::fill(open + 1, open + 6, true);
}

std::vector<int> Holidays(const std::string& text) {
    std::vector<int> days;
    size_t i = 0;
    while (i < text.size()) {
        if (!Digit(text[i])) {
            ++i;
            continue;
        }
        int value = 0;
        size_t digits = 0;
        for (; i < text.size() && Digit(text[i]); ++i, ++digits) {
            if (digits < 9) value = value * 10 + (text[i] - '0');
        }
        if (digits == 8) days.push_back(value);
    }
    std::sort(days.begin(), days.end());
    return days;
}

std::int64_t DayOf(const CivilTime& local) { return DaysFromCivil(local.year, local.month, local.day); }

std::int64_t NextSessionDay(std::int64_t day, const SessionDays& days) {
    if (days.allWeek) return day + 1;
    // Two weeks cover any weekend and holiday run; past that the next
    // calendar day is the best guess.
    for (std::int64_t next = day + 1; next <= day + 14; ++next) {
        if (!days.weekday[WeekdayOfDays(next)]) continue;
        if (std::binary_search(days.holidays.begin(), days.holidays.end(), Ymd(CivilFromDays(next)))) continue;
        return next;
    }
    return day + 1;
}

// The opening time (hour * 100 + minute) of the session's first range, or -1.
int OpeningTime(const std::string& session) {
    const std::string s = Trimmed(session);
    if (s.size() < 4 || !Digit(s[0]) || !Digit(s[1]) || !Digit(s[2]) || !Digit(s[3])) return -1;
    return (s[0] - '0') * 1000 + (s[1] - '0') * 100 + (s[2] - '0') * 10 + (s[3] - '0');
}

}  // namespace

bool ReadExchangeSession(const std::string& payload, ExchangeSession& out) {
    if (payload.find("\"symbol_resolved\"") == std::string::npos) return false;
    std::string inner;
    if (!JsonArrayField(payload, "p", inner)) return false;
    const size_t open = inner.find('{');
    if (open == std::string::npos) return false;
    const std::string info = ObjectAt(inner, open);
    ExchangeSession session;
    session.timezone = TopLevelStringField(info, "timezone");
    if (session.timezone.empty()) return false;
    session.session = TopLevelStringField(info, "session");
    session.holidays = TopLevelStringField(info, "session_holidays");
    const std::string wanted = TopLevelStringField(info, "subsession_id");
    std::string subsessions;
    if (!wanted.empty() && JsonArrayField(info, "subsessions", subsessions)) {
        for (const std::string& element : JsonArrayElements(subsessions)) {
            if (!element.empty() && element[0] == '{' && TopLevelStringField(element, "id") == wanted) {
                const std::string own = TopLevelStringField(element, "session");
                if (!own.empty()) session.session = own;
                break;
            }
        }
    }
    out = session;
    return true;
}

SessionDays ReadSessionDays(const ExchangeSession& session) {
    SessionDays days;
    days.allWeek = IsAllWeek(session.session);
    SessionWeekdays(session.session, days.weekday);
    days.holidays = Holidays(session.holidays);
    days.opening = OpeningTime(session.session);
    return days;
}

std::int64_t SessionStartTradingDay(const CivilTime& local, const SessionDays& days) {
    const std::int64_t day = DayOf(local);
    return local.hour < 12 ? day : NextSessionDay(day, days);
}

std::int64_t QuoteTradingDay(const CivilTime& local, const SessionDays& days) {
    const std::int64_t day = DayOf(local);
    const int now = local.hour * 100 + local.minute;
    return days.opening >= 1200 && now >= days.opening ? NextSessionDay(day, days) : day;
}
