// SPDX-License-Identifier: MIT
// window_probe: reads and presses the controls of another program's window,
// for the tests of OstranUpdater.exe under Wine (tools/test-windows.sh). A
// window is found by its exact title among the visible top-level windows; a
// control by its id among the window's descendants (a visible one first:
// the pages of a wizard repeat ids). Everything is read with the messages the
// controls answer across processes (WM_GETTEXT, BM_GETCHECK, PBM_GETPOS) and
// IsWindowEnabled/IsWindowVisible: the dialog's state by control id, never
// by its pixels.
//
//   window_probe wait-window TITLE [SECONDS]   until the window is there
//   window_probe wait-gone TITLE [SECONDS]     until it is not
//   window_probe controls TITLE                every control: id, class, state, "text"
//   window_probe get TITLE ID PROPERTY         PROPERTY: text enabled visible check pos class
//   window_probe wait TITLE ID PROPERTY VALUE [SECONDS]
//   window_probe click TITLE ID                BM_CLICK, posted
//   window_probe post TITLE MESSAGE WPARAM     a message posted to the window itself
//   window_probe send TITLE MESSAGE WPARAM     a message sent to it: prints the window's answer
//   window_probe version FILE                  the texts of a program's version resource
//   window_probe watch TITLE SECONDS ID PROPERTY VALUE
//       prints every change of any control's state, one line each
//       ("ID PROPERTY VALUE"), from the first look until control ID's
//       PROPERTY is VALUE
//
// Texts are printed in UTF-8 with \n, \r, \t and \\ escaped; VALUE is read
// the same way. Exit status: 0 done, 1 not found or not in time, 2 bad usage.
#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr UINT kReplyMilliseconds = 2000;
constexpr auto kPollInterval = std::chrono::milliseconds(50);
// A look at every control is a hundred questions to the other process.
constexpr auto kWatchInterval = std::chrono::milliseconds(250);

std::string utf8(const std::wstring &text) {
    if (text.empty()) return {};
    const int bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), bytes, nullptr,
                          nullptr);
    return result;
}

std::wstring wide(const std::string &text) {
    if (text.empty()) return {};
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), units);
    return result;
}

std::string escaped(const std::string &text) {
    std::string result;
    for (char c : text) {
        switch (c) {
        case '\n': result += "\\n"; break;
        case '\r': result += "\\r"; break;
        case '\t': result += "\\t"; break;
        case '\\': result += "\\\\"; break;
        default: result += c;
        }
    }
    return result;
}

std::string unescaped(const std::string &text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            result += text[i];
            continue;
        }
        switch (text[++i]) {
        case 'n': result += '\n'; break;
        case 'r': result += '\r'; break;
        case 't': result += '\t'; break;
        default: result += text[i];
        }
    }
    return result;
}

LRESULT ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kReplyMilliseconds, &result))
        return -1;
    return static_cast<LRESULT>(result);
}

std::wstring windowText(HWND window) {
    // Asked with room to spare: a text may grow between a question for its
    // length and the question for it.
    for (size_t room = 256;; room *= 4) {
        std::wstring text(room, L'\0');
        const LRESULT got = ask(window, WM_GETTEXT, room, reinterpret_cast<LPARAM>(text.data()));
        if (got < 0) return {};
        if (static_cast<size_t>(got) + 1 < room) {
            text.resize(static_cast<size_t>(got));
            return text;
        }
    }
}

std::string className(HWND window) {
    wchar_t name[256] = {};
    ::GetClassNameW(window, name, 256);
    return utf8(name);
}

HWND findWindow(const std::wstring &title) {
    struct Search {
        const std::wstring *title;
        HWND found;
    } search{&title, nullptr};
    ::EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto *search = reinterpret_cast<Search *>(data);
            if (!::IsWindowVisible(window)) return TRUE;
            wchar_t text[512] = {};
            ::GetWindowTextW(window, text, 512);
            if (*search->title != text) return TRUE;
            search->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> descendants(HWND window) {
    std::vector<HWND> all;
    ::EnumChildWindows(
        window,
        [](HWND child, LPARAM data) -> BOOL {
            reinterpret_cast<std::vector<HWND> *>(data)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&all));
    return all;
}

HWND findControl(HWND window, int id) {
    HWND hidden = nullptr;
    for (HWND child : descendants(window)) {
        if (::GetDlgCtrlID(child) != id) continue;
        if (::IsWindowVisible(child)) return child;
        if (hidden == nullptr) hidden = child;
    }
    return hidden;
}

bool isButton(HWND control) { return className(control) == "Button"; }
bool isProgressBar(HWND control) { return className(control) == "msctls_progress32"; }

// PROPERTY of `control`; nothing for a property it has not.
bool property(HWND control, const std::string &name, std::string &value) {
    if (name == "text")
        value = utf8(windowText(control));
    else if (name == "enabled")
        value = std::to_string(::IsWindowEnabled(control) ? 1 : 0);
    else if (name == "visible")
        value = std::to_string(::IsWindowVisible(control) ? 1 : 0);
    else if (name == "class")
        value = className(control);
    else if (name == "check" && isButton(control))
        value = std::to_string(ask(control, BM_GETCHECK));
    else if (name == "pos" && isProgressBar(control))
        value = std::to_string(ask(control, PBM_GETPOS));
    else
        return false;
    return true;
}

const char *const kProperties[] = {"class", "enabled", "visible", "check", "pos", "text"};

// Every control's properties, keyed "ID PROPERTY".
std::map<std::string, std::string> snapshot(HWND window) {
    std::map<std::string, std::string> state;
    for (HWND control : descendants(window)) {
        const std::string id = std::to_string(::GetDlgCtrlID(control));
        for (const char *name : kProperties) {
            std::string value;
            // The first control of an id wins, a visible one before a hidden.
            if (property(control, name, value) && (!state.count(id + " " + name) || ::IsWindowVisible(control)))
                state[id + " " + name] = value;
        }
    }
    return state;
}

double seconds(const char *text) { return std::strtod(text, nullptr); }

template <typename Condition>
bool waitFor(double limit, Condition condition, Clock::duration interval = kPollInterval) {
    const auto end = Clock::now() + std::chrono::duration<double>(limit);
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(interval);
    }
}

int usage() {
    std::fputs("usage: window_probe wait-window|wait-gone|controls|get|wait|click|post|send|watch TITLE ...\n"
               "       window_probe version FILE\n",
               stderr);
    return 2;
}

int notFound(const std::string &what) {
    std::fprintf(stderr, "window_probe: %s\n", what.c_str());
    return 1;
}

// The texts of the first language of FILE's version resource, NAME=VALUE.
int printVersion(const std::wstring &file) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
    std::vector<char> data(size);
    if (size == 0 || !::GetFileVersionInfoW(file.c_str(), 0, size, data.data())) return notFound("no version resource");
    struct Translation {
        WORD language, codePage;
    } *translations = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translations),
                          &length) ||
        length < sizeof(Translation))
        return notFound("no translation in the version resource");
    std::printf("Translation=%04x %u\n", translations->language, translations->codePage);
    for (const wchar_t *name : {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName", L"LegalTrademarks",
                                L"OriginalFilename", L"ProductName", L"ProductVersion"}) {
        wchar_t path[128];
        std::swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translations->language, translations->codePage,
                      name);
        wchar_t *value = nullptr;
        UINT units = 0;
        const bool found = ::VerQueryValueW(data.data(), path, reinterpret_cast<void **>(&value), &units);
        std::printf("%s=%s\n", utf8(name).c_str(), found && value ? escaped(utf8(value)).c_str() : "(none)");
    }
    VS_FIXEDFILEINFO *fixed = nullptr;
    if (::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) && fixed)
        std::printf("FILEVERSION=%lu,%lu,%lu,%lu\n", fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
                    fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF);
    return 0;
}

int watch(HWND window, double limit, int id, const std::string &name, const std::string &value) {
    std::map<std::string, std::string> shown;
    const auto start = Clock::now();
    // Prints what changed since the last look; true when the target is reached.
    const auto look = [&] {
        const std::map<std::string, std::string> now = snapshot(window);
        for (const auto &[key, current] : now) {
            auto at = shown.find(key);
            if (at != shown.end() && at->second == current) continue;
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            std::printf("%lld %s %s\n", static_cast<long long>(elapsed.count()), key.c_str(), escaped(current).c_str());
            shown[key] = current;
        }
        std::fflush(stdout);
        const auto target = now.find(std::to_string(id) + " " + name);
        return target != now.end() && target->second == value;
    };
    const bool reached = waitFor(
        limit, [&] { return ::IsWindow(window) && look(); }, kWatchInterval);
    if (!reached) return notFound("watch: not reached in time");
    // A look takes one control after another: the changes made together with
    // the target's, after the look had passed them, show in one more.
    look();
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return usage();
    const std::string command = argv[1];
    if (command == "version") return printVersion(wide(argv[2]));
    const std::wstring title = wide(argv[2]);

    if (command == "wait-window")
        return waitFor(argc > 3 ? seconds(argv[3]) : 10, [&] { return findWindow(title) != nullptr; })
                   ? 0
                   : notFound("no window \"" + std::string(argv[2]) + "\"");
    if (command == "wait-gone")
        return waitFor(argc > 3 ? seconds(argv[3]) : 10, [&] { return findWindow(title) == nullptr; })
                   ? 0
                   : notFound("still there: \"" + std::string(argv[2]) + "\"");

    const HWND window = findWindow(title);
    if (window == nullptr) return notFound("no window \"" + std::string(argv[2]) + "\"");

    if (command == "controls") {
        for (HWND control : descendants(window)) {
            std::printf("%d %s", ::GetDlgCtrlID(control), className(control).c_str());
            for (const char *name : {"enabled", "visible", "check", "pos"}) {
                std::string value;
                if (property(control, name, value)) std::printf(" %s=%s", name, value.c_str());
            }
            std::printf(" \"%s\"\n", escaped(utf8(windowText(control))).c_str());
        }
        return 0;
    }
    if ((command == "post" || command == "send") && argc == 5) {
        const auto message = static_cast<UINT>(std::strtoul(argv[3], nullptr, 0));
        const WPARAM wParam = std::strtoull(argv[4], nullptr, 0);
        if (command == "post") return ::PostMessageW(window, message, wParam, 0) ? 0 : notFound("not posted");
        std::printf("%lld\n", static_cast<long long>(ask(window, message, wParam)));
        return 0;
    }
    if (argc < 4) return usage();
    const int id = static_cast<int>(std::strtol(argv[3], nullptr, 0));
    if (command == "watch" && argc == 7) return watch(window, seconds(argv[3]), std::atoi(argv[4]), argv[5], argv[6]);
    const HWND control = findControl(window, id);
    if (control == nullptr) return notFound("no control " + std::to_string(id));

    if (command == "click") return ::PostMessageW(control, BM_CLICK, 0, 0) ? 0 : notFound("not posted");
    if (command == "get" && argc == 5) {
        std::string value;
        if (!property(control, argv[4], value)) return notFound(std::string("no property ") + argv[4]);
        std::printf("%s\n", escaped(value).c_str());
        return 0;
    }
    if (command == "wait" && argc >= 6) {
        const std::string wanted = unescaped(argv[5]);
        std::string value;
        const bool reached = waitFor(argc > 6 ? seconds(argv[6]) : 10, [&] {
            const HWND now = findControl(window, id);
            return now != nullptr && property(now, argv[4], value) && value == wanted;
        });
        return reached ? 0
                       : notFound("control " + std::to_string(id) + " " + argv[4] + " is \"" + escaped(value) +
                                  "\", not \"" + argv[5] + "\"");
    }
    return usage();
}
