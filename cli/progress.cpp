#include "cli/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>
#include <QtGlobal>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli/text.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

// A run shorter than this shows no line at all.
constexpr auto kQuietStart = std::chrono::seconds(1);
// The line is drawn at most this often.
constexpr auto kRedraw = std::chrono::milliseconds(250);

// Set by SIGWINCH: the terminal's width is read again before the next drawing.
std::atomic<bool> resized{true};

void onResize(int) {
    resized.store(true, std::memory_order_relaxed);
}

// The columns a character takes on a terminal: two for the wide scripts of East Asia, none for
// a combining mark.
int columnsOf(char32_t c) {
    if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x3099 && c <= 0x309A) || c == 0x200B) {
        return 0;
    }
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
                      (c >= 0x3041 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
                      (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
                      (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) ||
                      (c >= 0x1F300 && c <= 0x1F64F) || (c >= 0x1F900 && c <= 0x1F9FF) ||
                      (c >= 0x20000 && c <= 0x3FFFD);
    return wide ? 2 : 1;
}

// The characters of UTF-8 `text` (shown names are valid UTF-8), each with where it begins.
struct Glyph {
    std::size_t at;
    int columns;
};

std::vector<Glyph> glyphsOf(const std::string& text) {
    std::vector<Glyph> glyphs;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        glyphs.push_back({i, columnsOf(c)});
        i += length;
    }
    return glyphs;
}

int columnsOf(const std::string& text) {
    int columns = 0;
    for (const Glyph& g : glyphsOf(text)) {
        columns += g.columns;
    }
    return columns;
}

// The end of `text` that fits `columns`, marked as shortened.
std::string lastColumns(const std::string& text, int columns) {
    const std::vector<Glyph> glyphs = glyphsOf(text);
    int used = 1;  // the mark
    std::size_t from = text.size();
    for (auto g = glyphs.rbegin(); g != glyphs.rend() && used + g->columns <= columns; ++g) {
        used += g->columns;
        from = g->at;
    }
    return columns < 1 ? std::string() : "…" + text.substr(from);
}

// The start of `text` that fits `columns`.
std::string firstColumns(const std::string& text, int columns) {
    int used = 0;
    for (const Glyph& g : glyphsOf(text)) {
        if (used + g.columns > columns) {
            return text.substr(0, g.at);
        }
        used += g.columns;
    }
    return text;
}

// 0:07, 12:34, 1:02:03.
std::string clockText(double seconds) {
    const auto s = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    }
    return text;
}

// The terminal's width on standard error; COLUMNS, or 80, where it has none.
int terminalWidth() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    const char* columns = std::getenv("COLUMNS");
    const int n = columns != nullptr ? std::atoi(columns) : 0;
    return n > 0 ? n : 80;
}

void writeAll(const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

std::string progressText(std::int64_t done, std::int64_t total, double rate, double seconds,
                         const std::string& folder, int width) {
    std::string text = message(QT_TRANSLATE_NOOP("cli", "%1 of %2 files"),
                               {std::to_string(done), std::to_string(std::max(done, total))});
    if (rate > 0) {
        text += ", " + message(QT_TRANSLATE_NOOP("cli", "%1/s"),
                               {std::to_string(static_cast<long long>(rate + 0.5))});
    }
    if (seconds >= 0) {
        text += ", " + message(QT_TRANSLATE_NOOP("cli", "%1 left"), {clockText(seconds)});
    }
    const int used = columnsOf(text);
    if (used >= width) {
        return firstColumns(text, width);
    }
    if (folder.empty()) {
        return text;
    }
    const std::string shown = escaped(folder);
    const int room = width - used - 2;
    return room < 2 ? text
                    : text + "  " + (columnsOf(shown) <= room ? shown : lastColumns(shown, room));
}

ProgressLine::ProgressLine(ProgressMode mode, bool printsEachFile) {
    bool show = mode == ProgressMode::On;
    if (mode == ProgressMode::Auto && ::isatty(STDERR_FILENO) == 1) {
        // Lines printed to the same terminal would be drawn over.
        show = !(printsEachFile && ::isatty(STDOUT_FILENO) == 1);
    }
    if (!show) {
        return;
    }
    start_ = Clock::now();
    sampledAt_ = start_;
    struct sigaction action {};
    action.sa_handler = onResize;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGWINCH, &action, nullptr);
    drawer_ = std::thread([this] { loop(); });
}

ProgressLine::~ProgressLine() {
    finish();
}

void ProgressLine::setFolder(const std::string& path) {
    if (shown()) {
        const std::lock_guard<std::mutex> lock(mutex_);
        folder_ = path;
    }
}

void ProgressLine::finish() {
    if (!drawer_.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    drawer_.join();
    if (drawn_) {
        writeAll("\r\x1b[K");
    }
}

void ProgressLine::loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_until(lock, start_ + kQuietStart, [this] { return stop_; })) {
        return;
    }
    do {
        lock.unlock();
        draw();
        lock.lock();
    } while (!wake_.wait_for(lock, kRedraw, [this] { return stop_; }));
}

void ProgressLine::draw() {
    const Clock::time_point now = Clock::now();
    const std::int64_t done = done_.load(std::memory_order_relaxed);
    const std::int64_t total = total_.load(std::memory_order_relaxed);
    // The rate of the last few seconds, so that a drive that slows down shows it.
    const double window = std::chrono::duration<double>(now - sampledAt_).count();
    if (window >= 1.0) {
        const double recent = static_cast<double>(done - sampled_) / window;
        rate_ = rate_ == 0 ? recent : 0.5 * rate_ + 0.5 * recent;
        sampled_ = done;
        sampledAt_ = now;
    }
    const double left = rate_ > 0 && total > done    ? static_cast<double>(total - done) / rate_
                        : total > 0 && total <= done ? 0.0
                                                     : -1.0;
    std::string folder;
    if (const char* text = folderText_.load(std::memory_order_relaxed)) {
        folder = text;
    } else {
        const std::lock_guard<std::mutex> lock(mutex_);
        folder = folder_;
    }
    if (resized.exchange(false, std::memory_order_relaxed)) {
        width_ = terminalWidth();
    }
    // The last column is left free: a line that fills it wraps on some terminals.
    writeAll("\r" + progressText(done, total, rate_, left, folder, width_ - 1) + "\x1b[K");
    drawn_ = true;
}

}  // namespace cli
