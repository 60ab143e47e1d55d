#include "ui/config_controls.h"

#include <climits>
#include <cwchar>
#include <cwctype>
#include <string>

#include "foundation/settings.h"
#include "foundation/text.h"
#include "ui/desktop.h"
#include "ui/ui_handles.h"

namespace {

constexpr int kLabelX = 14;
constexpr int kFieldX = 152;
constexpr int kFieldWidth = 280;
constexpr int kTextBuffer = 512;
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kTabStopChild = kChild | WS_TABSTOP;

// Creates one control on the page of ctx.pages[page] and lists it there.
HWND Place(ConfigContext& ctx, int page, DWORD exStyle, const wchar_t* cls, const std::wstring& text, DWORD style,
           int x, int y, int width, int height, int id) {
    HWND control = CreateWindowExW(exStyle, cls, text.c_str(), style, x, y, width, height, ctx.pages[page],
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), PluginInstance(), nullptr);
    if (control == nullptr) return nullptr;
    UseGuiFont(control);
    ctx.pageControls[page].push_back(control);
    return control;
}

void Header(ConfigContext& ctx, int page, const wchar_t* text) {
    Place(ctx, page, WS_EX_TRANSPARENT, L"STATIC", text, kChild, 14, 68, 200, 18, -1);
}

void Label(ConfigContext& ctx, int page, int y, const wchar_t* text) {
    Place(ctx, page, 0, L"STATIC", text, kChild, kLabelX, y + 4, 130, 18, -1);
}

void Edit(ConfigContext& ctx, int page, int y, int id, DWORD style, const std::wstring& value) {
    // Auto-scroll lets a value wider than the box (a user agent, a long
    // password) be typed and shown whole.
    Place(ctx, page, WS_EX_CLIENTEDGE, L"EDIT", value, kTabStopChild | ES_AUTOHSCROLL | style, kFieldX, y,
          kFieldWidth, 22, id);
}

int CaptionWidth(const wchar_t* caption) {
    ScreenDC dc;
    SIZE size{};
    if (dc.Get() == nullptr || !GetTextExtentPoint32W(dc.Get(), caption, static_cast<int>(std::wcslen(caption)), &size)) {
        return 418;
    }
    return size.cx + 34;
}

void CheckBox(ConfigContext& ctx, int page, int y, int id, const wchar_t* caption, bool checked) {
    HWND box = Place(ctx, page, 0, L"BUTTON", caption, kTabStopChild | BS_AUTOCHECKBOX, kLabelX, y,
                     CaptionWidth(caption), 24, id);
    if (box != nullptr) SendMessageW(box, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

// A drop-down list selecting the item equal to `value`. A drop-down list
// cannot show a text that is none of its items, so such a value (a valid
// market type or resolution the list does not offer) becomes an item of its
// own: it is shown, and Save writes it back unchanged instead of blank.
void ComboBox(ConfigContext& ctx, int page, int y, int id, const std::vector<std::wstring>& items,
              const std::wstring& value) {
    HWND box = Place(ctx, page, WS_EX_CLIENTEDGE, L"COMBOBOX", L"", kTabStopChild | CBS_DROPDOWNLIST | CBS_HASSTRINGS,
                     kFieldX, y, kFieldWidth, 200, id);
    if (box == nullptr) return;
    LRESULT selected = CB_ERR;
    for (const std::wstring& item : items) {
        const LRESULT at = SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
        if (item == value) selected = at;
    }
    if (selected == CB_ERR && !value.empty()) {
        selected = SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(value.c_str()));
    }
    if (selected != CB_ERR) SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void Button(ConfigContext& ctx, int page, int x, int y, int width, int id, const wchar_t* caption) {
    Place(ctx, page, 0, L"BUTTON", caption, kTabStopChild | BS_PUSHBUTTON, x, y, width, 24, id);
}

void Text(ConfigContext& ctx, int page, int x, int y, int width, int height, const wchar_t* text) {
    Place(ctx, page, WS_EX_TRANSPARENT, L"STATIC", text, kChild, x, y, width, height, -1);
}

void CreateChartPage(ConfigContext& ctx) {
    const PluginSettings& s = ctx.settings;
    Header(ctx, 0, L"Chart settings");
    CheckBox(ctx, 0, 102, kIdExtendedHours, L"Extended trading hours", s.ExtendedHours);
    CheckBox(ctx, 0, 134, kIdAdjustContracts, L"Adjusted prices for splits", s.AdjustContracts);
    CheckBox(ctx, 0, 166, kIdUseSettlementAsClose, L"Use settlement as close", s.UseSettlementAsClose);
    Label(ctx, 0, 200, L"Timeframe override");
    ComboBox(ctx, 0, 200, kIdResolutionOverride, TimeframeItems(), NormalizeResolutionOverride(s.ResolutionOverride));
    Label(ctx, 0, 234, L"Intraday shift (min)");
    Edit(ctx, 0, 234, kIdIntradayShift, ES_NUMBER, std::to_wstring(s.IntradayTimeShiftMinutes));
    Label(ctx, 0, 268, L"EOD shift (days)");
    Edit(ctx, 0, 268, kIdEodShift, ES_NUMBER, std::to_wstring(s.EodTimeShiftDays));
}

void CreateConnectionPage(ConfigContext& ctx) {
    const PluginSettings& s = ctx.settings;
    Header(ctx, 1, L"Connection settings");
    Label(ctx, 1, 90, L"Market");
    ComboBox(ctx, 1, 90, kIdMarket, MarketItems(), s.Market);
    Label(ctx, 1, 122, L"Username");
    Edit(ctx, 1, 122, kIdUsername, 0, s.Username);
    Label(ctx, 1, 154, L"Password");
    Edit(ctx, 1, 154, kIdPassword, ES_PASSWORD, s.Password);
    Label(ctx, 1, 186, L"User agent");
    Edit(ctx, 1, 186, kIdUserAgent, 0, s.UserAgent);
    Label(ctx, 1, 218, L"Timeout ms");
    Edit(ctx, 1, 218, kIdTimeoutMs, ES_NUMBER, std::to_wstring(s.TimeoutMs));
    Label(ctx, 1, 250, L"Poll seconds");
    Edit(ctx, 1, 250, kIdPollSeconds, ES_NUMBER, std::to_wstring(s.PollSeconds));
    CheckBox(ctx, 1, 288, kIdBackgroundDownloads, L"Download in the background (charts never wait)",
             s.BackgroundDownloads);
    CheckBox(ctx, 1, 320, kIdStreaming, L"Stream live data over one connection", s.Streaming);
    // The browser's cookie signs in where the password is refused (captcha,
    // two-factor authentication); hidden like the password.
    Label(ctx, 1, 356, L"Session cookie");
    Edit(ctx, 1, 356, kIdSessionCookie, ES_PASSWORD, s.SessionCookie);
    Label(ctx, 1, 388, L"Session cookie sign");
    Edit(ctx, 1, 388, kIdSessionCookieSign, ES_PASSWORD, s.SessionCookieSign);
}

void CreateToolsPage(ConfigContext& ctx) {
    Header(ctx, 2, L"Tools");
    Text(ctx, 2, 14, 86, 480, 30,
         L"Bulk update runs the symbol list below. The other buttons open local docs and maintenance helpers.");
    Label(ctx, 2, 110, L"Bulk symbols");
    Place(ctx, 2, WS_EX_CLIENTEDGE, L"EDIT", ctx.settings.BulkSymbols,
          kTabStopChild | ES_MULTILINE | WS_VSCROLL | ES_AUTOVSCROLL | ES_WANTRETURN, 152, 110, 280, 90, kIdBulkSymbols);
    Button(ctx, 2, 14, 208, 110, kIdBulkUpdate, L"Bulk update");
    Button(ctx, 2, 234, 208, 92, kIdTechGuide, L"Tech guide");
    Button(ctx, 2, 334, 208, 80, kIdInfo, L"Info");
    Button(ctx, 2, 424, 208, 110, kIdClearCache, L"Clear cache");
    Text(ctx, 2, 14, 272, 430, 30,
         L"Saved in the database INI. 'auto' lets the plugin choose the market automatically.");
    // The connection check: its ticker, and what it found, step by step.
    Button(ctx, 2, 14, 310, 130, kIdTestConnection, L"Test connection");
    Place(ctx, 2, WS_EX_CLIENTEDGE, L"EDIT", ctx.checkTicker, kTabStopChild | ES_AUTOHSCROLL, 152, 311, 130, 22,
          kIdCheckTicker);
    Button(ctx, 2, 292, 310, 80, kIdCopyCheck, L"Copy");
    Place(ctx, 2, WS_EX_CLIENTEDGE, L"EDIT", L"", kTabStopChild | ES_MULTILINE | ES_READONLY | WS_VSCROLL | ES_AUTOVSCROLL,
          14, 342, 560, 110, kIdCheckResults);
}

// At most 511 characters, as the fixed read buffer takes.
std::wstring ControlText(const ConfigContext& ctx, int id) {
    wchar_t buffer[kTextBuffer] = {};
    if (HWND control = FindControl(ctx, id)) GetWindowTextW(control, buffer, kTextBuffer);
    return buffer;
}

std::wstring WholeControlText(const ConfigContext& ctx, int id) {
    HWND control = FindControl(ctx, id);
    if (control == nullptr) return {};
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

bool Checked(const ConfigContext& ctx, int id) {
    HWND control = FindControl(ctx, id);
    return control != nullptr && SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

}  // namespace

HWND FindControl(const ConfigContext& ctx, int id) {
    for (HWND page : ctx.pages) {
        if (HWND control = GetDlgItem(page, id)) return control;
    }
    return nullptr;
}

const std::vector<std::wstring>& MarketItems() {
    static const std::vector<std::wstring> items = {L"auto",  L"stock", L"futures", L"forex",
                                                    L"crypto", L"index", L"cfd",     L"economic"};
    return items;
}

const std::vector<std::wstring>& TimeframeItems() {
    static const std::vector<std::wstring> items = {L"auto", L"1",   L"5",   L"15", L"30",
                                                    L"60",   L"120", L"240", L"1D", L"1W"};
    return items;
}

void UseGuiFont(HWND window) { SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE); }

void CreatePageControls(ConfigContext& ctx, int index) {
    if (index == 0) CreateChartPage(ctx);
    if (index == 1) CreateConnectionPage(ctx);
    if (index == 2) CreateToolsPage(ctx);
}

int LeadingDecimalValue(const std::wstring& text) {
    size_t at = 0;
    while (at < text.size() && std::iswspace(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == L'-' || text[at] == L'+')) negative = text[at++] == L'-';
    long long value = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        value = value * 10 + (text[at] - L'0');
        if (value > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

void ReadConfigControls(ConfigContext& ctx) {
    PluginSettings& s = ctx.settings;
    s.ExtendedHours = Checked(ctx, kIdExtendedHours);
    s.AdjustContracts = Checked(ctx, kIdAdjustContracts);
    s.UseSettlementAsClose = Checked(ctx, kIdUseSettlementAsClose);
    s.BackgroundDownloads = Checked(ctx, kIdBackgroundDownloads);
    s.Streaming = Checked(ctx, kIdStreaming);
    s.ResolutionOverride = NormalizeResolutionOverride(ControlText(ctx, kIdResolutionOverride));
    s.IntradayTimeShiftMinutes = LeadingDecimalValue(ControlText(ctx, kIdIntradayShift));
    s.EodTimeShiftDays = LeadingDecimalValue(ControlText(ctx, kIdEodShift));
    s.BulkSymbols = WholeControlText(ctx, kIdBulkSymbols);
    s.Market = ControlText(ctx, kIdMarket);
    s.Username = ControlText(ctx, kIdUsername);
    s.Password = ControlText(ctx, kIdPassword);
    s.SessionCookie = TrimWide(WholeControlText(ctx, kIdSessionCookie));
    s.SessionCookieSign = TrimWide(WholeControlText(ctx, kIdSessionCookieSign));
    s.UserAgent = ControlText(ctx, kIdUserAgent);
    const int timeoutMs = LeadingDecimalValue(ControlText(ctx, kIdTimeoutMs));
    if (timeoutMs > 0) s.TimeoutMs = timeoutMs;
    const int pollSeconds = LeadingDecimalValue(ControlText(ctx, kIdPollSeconds));
    if (pollSeconds >= 0) s.PollSeconds = pollSeconds;
}
