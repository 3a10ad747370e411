// The progress window shown while a slow start unpacks.
//
// Only an executable packed with --progress-window ever reaches this code's
// libraries: user32, comctl32 and gdi32 are loaded by name when the window is
// due, so the launcher imports none of them and a start without the window
// pays for none of them. Every function of theirs is found through the
// table's LoadLibraryExW and GetProcAddress; when any is missing, or anything
// fails, the window simply does not show and the launch goes on.
//
// The window lives on a thread of its own. The main thread only unpacks; the
// two share the count of bytes written and the cancel flag in the launcher's
// state, and the run's state here: unpacking, cancelled by the user, or
// handed to the application. Whichever thread moves it first from
// `unpacking` decides (an atomic compare and exchange), so a close that comes
// as the application starts either cancels everything or nothing.
#include "progress/progress_window.h"

#include <commctrl.h>

#include "paths/bounded.h"
#include "paths/build_texts.h"
#include "payload/stored.h"
#include "system/syscalls.h"
#include "unpack/state.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

constexpr UINT kTickMs = 50;
constexpr int kBarEnd = 10000;
constexpr UINT_PTR kTimer = 1;
constexpr int kTitleCapacity = 256;
constexpr int kLineCapacity = 300;

enum RunState : long { kUnpacking = 0, kCancelled = 1, kHandedOver = 2 };

// The functions the window needs, found at run time.
struct Ui {
    ATOM(WINAPI *RegisterClassExW)(const WNDCLASSEXW *);
    HWND(WINAPI *CreateWindowExW)(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, LPVOID);
    BOOL(WINAPI *ShowWindow)(HWND, int);
    BOOL(WINAPI *SetWindowPos)(HWND, HWND, int, int, int, int, UINT);
    LRESULT(WINAPI *SendMessageW)(HWND, UINT, WPARAM, LPARAM);
    LRESULT(WINAPI *DefWindowProcW)(HWND, UINT, WPARAM, LPARAM);
    BOOL(WINAPI *GetMessageW)(LPMSG, HWND, UINT, UINT);
    LRESULT(WINAPI *DispatchMessageW)(const MSG *);
    BOOL(WINAPI *DestroyWindow)(HWND);
    void(WINAPI *PostQuitMessage)(int);
    UINT_PTR(WINAPI *SetTimer)(HWND, UINT_PTR, UINT, TIMERPROC);
    BOOL(WINAPI *EnumWindows)(WNDENUMPROC, LPARAM);
    DWORD(WINAPI *GetWindowThreadProcessId)(HWND, LPDWORD);
    BOOL(WINAPI *IsWindowVisible)(HWND);
    HANDLE(WINAPI *LoadImageW)(HINSTANCE, LPCWSTR, UINT, int, int, UINT);
    BOOL(WINAPI *SystemParametersInfoW)(UINT, UINT, PVOID, UINT);
    BOOL(WINAPI *AdjustWindowRectEx)(LPRECT, DWORD, BOOL, DWORD);
    BOOL(WINAPI *AllowSetForegroundWindow)(DWORD);
    BOOL(WINAPI *InitCommonControlsEx)(const INITCOMMONCONTROLSEX *);
    HFONT(WINAPI *CreateFontIndirectW)(const LOGFONTW *);
    BOOL(WINAPI *DeleteObject)(HGDIOBJ);
    // Windows 10 and later; without them the window is laid out at 96 dpi.
    HANDLE(WINAPI *SetThreadDpiAwarenessContext)(HANDLE);
    UINT(WINAPI *GetDpiForWindow)(HWND);
    BOOL(WINAPI *SystemParametersInfoForDpi)(UINT, UINT, PVOID, UINT, UINT);
    BOOL(WINAPI *AdjustWindowRectExForDpi)(LPRECT, DWORD, BOOL, DWORD, UINT);
};

struct Progress {
    volatile long run_state;
    volatile DWORD application_id;  // 0 until the application started
    volatile bool ui_ready;         // `ui` is filled (the window's thread wrote it)
    HANDLE thread;
    DWORD show_after_ms;
    unsigned long long total;
    ULONGLONG handed_over_at;  // the window's thread's own copy
    bool console_program;
    wchar_t title[kTitleCapacity];
    wchar_t line[kLineCapacity];
    Ui ui;
    HWND window, icon, text, bar;
    HFONT font;
    HICON big_icon, small_icon;
};

Progress progress;

// Copies at most `capacity - 1` units of `text` after `at` units of `into`.
void append_cut(wchar_t *into, size_t capacity, const wchar_t *text) {
    size_t at = wide_length(into);
    while (*text != 0 && at + 1 < capacity) into[at++] = *text++;
    into[at] = 0;
}

// Right to left when the text's first character of a strong direction is.
bool reads_right_to_left(const wchar_t *text) {
    for (; *text != 0; ++text) {
        WORD type = 0;
        if (!sys.GetStringTypeW(CT_CTYPE2, text, 1, &type)) return false;
        if (type == C2_RIGHTTOLEFT) return true;
        if (type == C2_LEFTTORIGHT) return false;
    }
    return false;
}

template <typename Function> bool find(HMODULE library, const char *name, Function *into) {
    *into = reinterpret_cast<Function>(reinterpret_cast<void *>(library ? sys.GetProcAddress(library, name) : nullptr));
    return *into != nullptr;
}

#define TARVEN_FIND(library, name) find(library, #name, &ui.name)

bool load_ui(Ui &ui) {
    HMODULE user = sys.LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // The manifest asks for common controls 6, the themed ones.
    HMODULE controls = sys.LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE gdi = sys.LoadLibraryExW(L"gdi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    bool all = TARVEN_FIND(user, RegisterClassExW) & TARVEN_FIND(user, CreateWindowExW) &
               TARVEN_FIND(user, ShowWindow) & TARVEN_FIND(user, SetWindowPos) & TARVEN_FIND(user, SendMessageW) &
               TARVEN_FIND(user, DefWindowProcW) & TARVEN_FIND(user, GetMessageW) &
               TARVEN_FIND(user, DispatchMessageW) & TARVEN_FIND(user, DestroyWindow) &
               TARVEN_FIND(user, PostQuitMessage) & TARVEN_FIND(user, SetTimer) & TARVEN_FIND(user, EnumWindows) &
               TARVEN_FIND(user, GetWindowThreadProcessId) & TARVEN_FIND(user, IsWindowVisible) &
               TARVEN_FIND(user, LoadImageW) & TARVEN_FIND(user, SystemParametersInfoW) &
               TARVEN_FIND(user, AdjustWindowRectEx) & TARVEN_FIND(user, AllowSetForegroundWindow) &
               TARVEN_FIND(controls, InitCommonControlsEx) & TARVEN_FIND(gdi, CreateFontIndirectW) &
               TARVEN_FIND(gdi, DeleteObject);
    TARVEN_FIND(user, SetThreadDpiAwarenessContext);
    TARVEN_FIND(user, GetDpiForWindow);
    TARVEN_FIND(user, SystemParametersInfoForDpi);
    TARVEN_FIND(user, AdjustWindowRectExForDpi);
    return all;
}

#undef TARVEN_FIND

int scaled(int length, UINT dpi) { return (length * static_cast<int>(dpi) + 48) / 96; }

UINT window_dpi() {
    Ui &ui = progress.ui;
    UINT dpi = ui.GetDpiForWindow != nullptr ? ui.GetDpiForWindow(progress.window) : 0;
    return dpi != 0 ? dpi : 96;
}

// The message font and the icons at `dpi`, then the controls placed at 96 dpi units scaled.
void lay_out(UINT dpi) {
    Ui &ui = progress.ui;
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    bool found = ui.SystemParametersInfoForDpi != nullptr
                     ? ui.SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi)
                     : ui.SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    if (found) {
        HFONT font = ui.CreateFontIndirectW(&metrics.lfMessageFont);
        if (font != nullptr) {
            ui.SendMessageW(progress.text, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
            if (progress.font != nullptr) ui.DeleteObject(progress.font);
            progress.font = font;
        }
    }
    // The executable's icon: group 1 of its resources (none in the tests' programs).
    HINSTANCE module = reinterpret_cast<HINSTANCE>(&__ImageBase);
    HICON big = static_cast<HICON>(ui.LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, scaled(32, dpi), scaled(32, dpi), 0));
    HICON small = static_cast<HICON>(ui.LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, scaled(16, dpi), scaled(16, dpi), 0));
    if (big != nullptr) {
        ui.SendMessageW(progress.icon, STM_SETICON, reinterpret_cast<WPARAM>(big), 0);
        ui.SendMessageW(progress.window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    }
    if (small != nullptr) ui.SendMessageW(progress.window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    progress.big_icon = big;
    progress.small_icon = small;
    const UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
    ui.SetWindowPos(progress.icon, nullptr, scaled(14, dpi), scaled(14, dpi), scaled(32, dpi), scaled(32, dpi), flags);
    ui.SetWindowPos(progress.text, nullptr, scaled(58, dpi), scaled(12, dpi), scaled(300, dpi), scaled(20, dpi), flags);
    ui.SetWindowPos(progress.bar, nullptr, scaled(58, dpi), scaled(38, dpi), scaled(300, dpi), scaled(14, dpi), flags);
}

// The window's outer size for a client area of 372 x 66 at `dpi`.
SIZE outer_size(UINT dpi, DWORD style, DWORD extended) {
    Ui &ui = progress.ui;
    RECT frame = {0, 0, scaled(372, dpi), scaled(66, dpi)};
    if (ui.AdjustWindowRectExForDpi != nullptr) ui.AdjustWindowRectExForDpi(&frame, style, FALSE, extended, dpi);
    else ui.AdjustWindowRectEx(&frame, style, FALSE, extended);
    return {frame.right - frame.left, frame.bottom - frame.top};
}

// A visible top-level window of the application's, other than this one.
BOOL CALLBACK find_application_window(HWND window, LPARAM found) {
    DWORD owner = 0;
    progress.ui.GetWindowThreadProcessId(window, &owner);
    if (window != progress.window && owner == progress.application_id && progress.ui.IsWindowVisible(window)) {
        *reinterpret_cast<bool *>(found) = true;
        return FALSE;
    }
    return TRUE;
}

// After unpacking: the window's part is done once a console program runs,
// once the application shows a window, or kProgressLingerMs after unpacking.
bool time_to_close() {
    if (__atomic_load_n(&progress.run_state, __ATOMIC_ACQUIRE) != kHandedOver) return false;
    ULONGLONG now = sys.GetTickCount64();
    if (progress.handed_over_at == 0) progress.handed_over_at = now;
    if (progress.console_program || now - progress.handed_over_at >= kProgressLingerMs) return true;
    if (progress.application_id == 0) return false;
    bool found = false;
    progress.ui.EnumWindows(find_application_window, reinterpret_cast<LPARAM>(&found));
    return found;
}

void show_progress() {
    Ui &ui = progress.ui;
    unsigned long long written = __atomic_load_n(&launcher_state.unpacked_bytes, __ATOMIC_RELAXED);
    if (progress.total == 0) return;  // a marquee: it moves by itself
    if (written > progress.total) written = progress.total;
    ui.SendMessageW(progress.bar, PBM_SETPOS, static_cast<WPARAM>(written * kBarEnd / progress.total), 0);
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    Ui &ui = progress.ui;
    switch (message) {
    case WM_TIMER:
        show_progress();
        if (time_to_close()) ui.DestroyWindow(window);
        return 0;
    case WM_CLOSE: {
        // The user's close cancels the run unless the application already started.
        long expected = kUnpacking;
        if (__atomic_compare_exchange_n(&progress.run_state, &expected, kCancelled, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE))
            __atomic_store_n(&launcher_state.stop_requested, true, __ATOMIC_SEQ_CST);
        ui.DestroyWindow(window);
        return 0;
    }
    case WM_MOUSEACTIVATE: return MA_NOACTIVATE;
    case WM_DPICHANGED: {
        const RECT *suggested = reinterpret_cast<const RECT *>(l);
        ui.SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                        suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        lay_out(LOWORD(w));
        return 0;
    }
    case WM_DESTROY: ui.PostQuitMessage(0); return 0;
    default: return ui.DefWindowProcW(window, message, w, l);
    }
}

bool unpacking_over() { return __atomic_load_n(&progress.run_state, __ATOMIC_ACQUIRE) != kUnpacking; }

// Creates the window hidden, lays it out, shows it without activating it.
bool create_window() {
    Ui &ui = progress.ui;
    // Crisp on every monitor: this thread alone is per-monitor aware (v2,
    // else v1); the application, which may share the process, keeps its own.
    if (ui.SetThreadDpiAwarenessContext != nullptr &&
        ui.SetThreadDpiAwarenessContext(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-4))) == nullptr)
        ui.SetThreadDpiAwarenessContext(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-3)));
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_PROGRESS_CLASS};
    if (!ui.InitCommonControlsEx(&classes)) return false;
    HINSTANCE module = reinterpret_cast<HINSTANCE>(&__ImageBase);
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = module;
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<intptr_t>(COLOR_BTNFACE + 1));
    window_class.lpszClassName = TARVEN_PROGRESS_CLASS;
    if (!ui.RegisterClassExW(&window_class) && sys.GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    const DWORD style = WS_CAPTION | WS_SYSMENU;
    // Never activated, so the application's first window comes to the front
    // as it would without the launcher; on the taskbar all the same.
    DWORD extended = WS_EX_NOACTIVATE | WS_EX_APPWINDOW;
    if (reads_right_to_left(progress.title)) extended |= WS_EX_LAYOUTRTL | WS_EX_RTLREADING;
    progress.window = ui.CreateWindowExW(extended, TARVEN_PROGRESS_CLASS, progress.title, style, CW_USEDEFAULT,
                                         CW_USEDEFAULT, 0, 0, nullptr, nullptr, module, nullptr);
    if (progress.window == nullptr) return false;
    progress.icon = ui.CreateWindowExW(0, L"STATIC", nullptr, WS_CHILD | WS_VISIBLE | SS_ICON | SS_REALSIZECONTROL, 0,
                                       0, 0, 0, progress.window, nullptr, module, nullptr);
    progress.text = ui.CreateWindowExW(0, L"STATIC", progress.line,
                                       WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 0, 0, 0, 0,
                                       progress.window, nullptr, module, nullptr);
    DWORD bar_style = WS_CHILD | WS_VISIBLE | (progress.total == 0 ? PBS_MARQUEE : 0);
    progress.bar = ui.CreateWindowExW(0, PROGRESS_CLASSW, nullptr, bar_style, 0, 0, 0, 0, progress.window, nullptr,
                                      module, nullptr);
    if (progress.icon == nullptr || progress.text == nullptr || progress.bar == nullptr) return false;
    ui.SendMessageW(progress.bar, PBM_SETRANGE32, 0, kBarEnd);
    if (progress.total == 0) ui.SendMessageW(progress.bar, PBM_SETMARQUEE, TRUE, 0);
    // Centred on the primary monitor's work area, sized for the dpi found there.
    RECT work = {0, 0, 1024, 768};
    ui.SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    ui.SetWindowPos(progress.window, nullptr, work.left, work.top, 1, 1, SWP_NOZORDER | SWP_NOACTIVATE);
    UINT dpi = window_dpi();
    SIZE size = outer_size(dpi, style, extended);
    ui.SetWindowPos(progress.window, nullptr, work.left + (work.right - work.left - size.cx) / 2,
                    work.top + (work.bottom - work.top - size.cy) / 2, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    lay_out(dpi);
    show_progress();
    if (!ui.SetTimer(progress.window, kTimer, kTickMs, nullptr)) return false;
    ui.ShowWindow(progress.window, SW_SHOWNOACTIVATE);
    return true;
}

DWORD WINAPI window_thread(LPVOID) {
    ULONGLONG begun = sys.GetTickCount64();
    while (!unpacking_over() && sys.GetTickCount64() - begun < progress.show_after_ms) sys.Sleep(10);
    if (unpacking_over()) return 0;
    if (!load_ui(progress.ui)) return 0;
    __atomic_store_n(&progress.ui_ready, true, __ATOMIC_RELEASE);
    if (!create_window()) {
        // Half made: nothing of it stays on the screen.
        if (progress.window != nullptr) progress.ui.DestroyWindow(progress.window);
        progress.window = nullptr;
        return 0;
    }
    MSG message;
    while (progress.ui.GetMessageW(&message, nullptr, 0, 0) > 0) progress.ui.DispatchMessageW(&message);
    progress.window = nullptr;
    if (progress.font != nullptr) progress.ui.DeleteObject(progress.font);
    progress.font = nullptr;
    return 0;
}

}  // namespace

bool start_progress_window(DWORD show_after_ms, const wchar_t *product, unsigned long long total) {
    progress.run_state = kUnpacking;
    progress.application_id = 0;
    progress.handed_over_at = 0;
    progress.show_after_ms = show_after_ms;
    progress.total = total;
    // The headers follow the DOS header at the image's base; the compiler,
    // which sees only the DOS header's 64 bytes there, is told no more.
    const unsigned char *base = reinterpret_cast<const unsigned char *>(&__ImageBase);
    __asm__("" : "+r"(base));
    const IMAGE_NT_HEADERS *headers = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + __ImageBase.e_lfanew);
    progress.console_program = headers->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
    progress.title[0] = 0;
    append_cut(progress.title, kTitleCapacity, product);
    progress.line[0] = 0;
    append_cut(progress.line, kLineCapacity, L"Unpacking ");
    append_cut(progress.line, kLineCapacity, product);
    append_cut(progress.line, kLineCapacity, L"\u2026");
    progress.thread = sys.CreateThread(nullptr, 0, window_thread, nullptr, 0, nullptr);
    return progress.thread != nullptr;
}

void begin_unpacking_progress() {
    if (stored_progress_window()) start_progress_window(kProgressShowAfterMs, build_product(), stored_unpacked_size());
}

bool progress_allows_start() {
    long expected = kUnpacking;
    __atomic_compare_exchange_n(&progress.run_state, &expected, kHandedOver, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    return expected != kCancelled;
}

bool progress_cancelled() { return __atomic_load_n(&progress.run_state, __ATOMIC_ACQUIRE) == kCancelled; }

void progress_follow_application(DWORD process_id) {
    if (progress.thread == nullptr) return;
    __atomic_store_n(&progress.application_id, process_id, __ATOMIC_RELEASE);
    // The window's libraries are loaded only when it showed: no window, nothing to hand over.
    if (__atomic_load_n(&progress.ui_ready, __ATOMIC_ACQUIRE)) progress.ui.AllowSetForegroundWindow(process_id);
}

void reset_progress_window() {
    if (progress.thread != nullptr) {
        __atomic_store_n(&progress.run_state, static_cast<long>(kHandedOver), __ATOMIC_RELEASE);
        progress.console_program = true;
        sys.WaitForSingleObject(progress.thread, INFINITE);
        sys.CloseHandle(progress.thread);
    }
    progress.thread = nullptr;
    progress.ui_ready = false;
}
