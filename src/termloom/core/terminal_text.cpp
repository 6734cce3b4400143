#include "terminal_text.hpp"

#include <algorithm>
#include <deque>
#include <optional>
#include <vector>

#include "printable_text.hpp"

namespace termloom {
namespace {

struct PlainHandler {
    std::string& out;
    bool& carriage_return;
    // For a command's output: what is written on the alternate screen (a
    // full-screen program's drawing) is left out.
    bool skip_alternate = false;
    bool alternate = false;

    // A carriage return goes back to the start of the line: at its start
    // (after a line feed, or another carriage return) it changes nothing.
    void settle() {
        if (carriage_return && !out.empty() && out.back() != '\n') out.push_back('\r');
        carriage_return = false;
    }
    void print(std::string_view utf8, char32_t) {
        if (alternate) return;
        settle();
        out.append(utf8);
    }
    void control(char c) {
        if (alternate) return;
        if (c == '\n') {
            carriage_return = false;  // the terminal's "\r\n" is one line end
            out.push_back('\n');
        } else if (c == '\r') {
            carriage_return = true;
        } else if (c == '\t' || c == '\b') {
            settle();
            out.push_back(c);
        }
    }
    void csi(char final, std::string_view params, char leader, bool) {
        if (!skip_alternate || leader != '?' || (final != 'h' && final != 'l')) return;
        const CsiParams numbers(params);
        if (numbers.has(47) || numbers.has(1047) || numbers.has(1049)) alternate = final == 'h';
    }
    void escape(char, char) {}
};

}  // namespace

void PlainText::feed(std::string_view bytes, std::string& out) {
    PlainHandler handler{out, carriage_return_};
    reader_.feed(bytes, handler);
}

void PlainText::finish(std::string& out) {
    PlainHandler handler{out, carriage_return_};
    reader_.finish(handler);
    handler.settle();
}

std::string plain_text(std::string_view bytes) {
    PlainText reader;
    std::string out;
    reader.feed(bytes, out);
    reader.finish(out);
    return out;
}

namespace {

// One cell of the grid: the character written there (with the combining
// characters after it), or nothing. The right half of a wide character is
// an empty cell with `covered` set.
struct Cell {
    std::string text;
    bool written = false;
    bool covered = false;
    bool wide = false;
};

struct Row {
    std::vector<Cell> cells;
    bool wrapped = false;  // the row goes on in the next one
};

constexpr unsigned kTabStop = 8;

// The grid: the rows a terminal of this width could still reach (the last
// `height`), and the text of the rows above them, which are final.
class Canvas {
public:
    Canvas(std::uint32_t width, std::uint32_t height)
        : width_(std::max<std::uint32_t>(width, 1)), height_(std::max<std::uint32_t>(height, 1)) {
        rows_.emplace_back();
    }

    void print(std::string_view utf8, char32_t code_point) {
        if (!why_.empty()) return;
        const int columns = widths_.columns(code_point);
        if (columns == 0) {
            attach(utf8);
            return;
        }
        if (col_ + static_cast<unsigned>(columns) > width_) {
            if (autowrap_) {
                row().wrapped = true;
                next_row();
                col_ = 0;
            } else {
                col_ = width_ - static_cast<unsigned>(columns);
            }
        }
        clear_cell(col_);
        Cell& cell = row_cells()[col_];
        cell.text.assign(utf8);
        cell.written = true;
        cell.wide = columns == 2;
        if (columns == 2) {
            clear_cell(col_ + 1);
            row_cells()[col_ + 1].covered = true;
            row_cells()[col_ + 1].written = true;
        }
        col_ += static_cast<unsigned>(columns);
    }

    void control(char c) {
        if (!why_.empty()) return;
        switch (c) {
        case '\r': col_ = 0; break;
        case '\n': case '\v': case '\f': next_row(); break;
        case '\b': if (col_ > 0) col_ = std::min(col_, width_) - 1; break;
        case '\t': col_ = std::min((std::min(col_, width_ - 1) / kTabStop + 1) * kTabStop, width_ - 1); break;
        default: break;
        }
    }

    void escape(char final, char intermediate) {
        if (!why_.empty() || intermediate != 0) return;  // charsets and the like
        switch (final) {
        case '7': saved_ = Position{cursor_row_, col_}; break;
        case '8': restore(); break;
        case 'D': next_row(); break;
        case 'E': next_row(); col_ = 0; break;
        case 'M': move_up(1); break;
        case 'c': stop("reset the terminal"); break;
        default: break;
        }
    }

    void csi(char final, std::string_view text, char leader, bool intermediate) {
        if (!why_.empty() || intermediate) return;
        const CsiParams params(text);
        if (leader == '?') {
            if (final != 'h' && final != 'l') return;
            if (params.has(47) || params.has(1047) || params.has(1049)) {
                stop("switched between the normal and the alternate screen");
            } else if (params.has(7)) {
                autowrap_ = final == 'h';
            }
            return;
        }
        if (leader != 0) return;
        const unsigned n = params.at(0, 1);
        switch (final) {
        case 'A': move_up(n); break;
        case 'B': move_down(n); break;
        case 'E': move_down(n); col_ = 0; break;
        case 'F': move_up(n); col_ = 0; break;
        case 'C': col_ = std::min(std::min(col_, width_ - 1) + n, width_ - 1); break;
        case 'D': col_ = std::min(col_, width_ - 1) >= n ? std::min(col_, width_ - 1) - n : 0; break;
        case 'G': case '`': col_ = std::min(n, width_) - 1; break;
        case 'H': case 'f': case 'd': stop("moved the cursor to a place on the screen"); break;
        case 'K': erase_in_row(params.at(0, 0)); break;
        case 'J':
            if (params.at(0, 0) == 0) {
                erase_in_row(0);
                erase_below();
            } else {
                stop("erased the screen");
            }
            break;
        case 'X': erase_cells(std::min(col_, width_ - 1), n); break;
        case 'P': delete_cells(n); break;
        case '@': insert_cells(n); break;
        case 'L': case 'M': stop("inserted or deleted lines"); break;
        case 'S': case 'T': stop("scrolled the screen"); break;
        case 'r': stop("set a scrolling region"); break;
        case 's': saved_ = Position{cursor_row_, col_}; break;
        case 'u': restore(); break;
        default: break;  // colours, modes, reports: no cell changes
        }
    }

    RenderedText result(std::string_view bytes) {
        if (!why_.empty()) {
            std::string text;
            bool carriage_return = false;
            PlainHandler plain{text, carriage_return, true, false};
            EscapeReader reader;
            reader.feed(bytes, plain);
            reader.finish(plain);
            plain.settle();
            if (text.ends_with('\n')) text.pop_back();
            return RenderedText{std::move(text), false, why_};
        }
        while (rows_.size() > 1) freeze_top();
        // The last row has no line end of its own; when it is empty, the
        // output ended with the line end before it.
        const bool empty = std::ranges::none_of(rows_.front().cells, [](const Cell& c) { return c.written; });
        if (!empty) freeze_top();
        if (done_.ends_with('\n')) done_.pop_back();
        return RenderedText{std::move(done_), true, {}};
    }

private:
    struct Position {
        std::uint64_t row;
        unsigned col;
    };

    // Rows count from the first row of the output; rows_ holds those from
    // first_live_ on.
    std::vector<Cell>& row_cells() {
        Row& r = row();
        if (r.cells.size() < width_) r.cells.resize(width_);
        return r.cells;
    }
    Row& row() { return rows_[static_cast<std::size_t>(cursor_row_ - first_live_)]; }

    void attach(std::string_view utf8) {
        // A combining character joins the character before the cursor.
        if (col_ == 0) return;
        std::vector<Cell>& cells = row_cells();
        unsigned at = std::min(col_, width_) - 1;
        while (at > 0 && cells[at].covered) --at;
        if (cells[at].written) cells[at].text.append(utf8);
    }

    void clear_cell(unsigned at) {
        std::vector<Cell>& cells = row_cells();
        if (at >= cells.size()) return;
        // Overwriting half of a wide character blanks the other half.
        if (cells[at].covered && at > 0) cells[at - 1] = Cell{};
        if (!cells[at].covered && at + 1 < cells.size() && cells[at + 1].covered) cells[at + 1] = Cell{};
        cells[at] = Cell{};
    }

    void next_row() {
        ++cursor_row_;
        if (cursor_row_ - first_live_ >= rows_.size()) {
            rows_.emplace_back();
            if (rows_.size() > height_) freeze_top();
        }
    }

    void move_up(unsigned n) {
        if (n > cursor_row_ - first_live_) {
            stop(n > cursor_row_ ? "moved the cursor above its first line"
                                 : "moved the cursor into lines the screen no longer shows");
            return;
        }
        cursor_row_ -= n;
    }

    void move_down(unsigned n) {
        if (cursor_row_ + n - first_live_ >= rows_.size()) {
            stop("moved the cursor below its last line");
            return;
        }
        cursor_row_ += n;
    }

    void restore() {
        if (!saved_ || saved_->row < first_live_) {
            stop("restored a cursor position saved before it started");
            return;
        }
        cursor_row_ = saved_->row;
        col_ = saved_->col;
    }

    void erase_in_row(unsigned mode) {
        const unsigned at = std::min(col_, width_ - 1);
        if (mode == 0) erase_cells(at, width_ - at);
        else if (mode == 1) erase_cells(0, at + 1);
        else erase_cells(0, width_);
        if (mode != 1) row().wrapped = false;
    }

    void erase_cells(unsigned from, unsigned count) {
        for (unsigned i = from; i < width_ && i - from < count; ++i) clear_cell(i);
    }

    void erase_below() {
        const std::size_t at = static_cast<std::size_t>(cursor_row_ - first_live_);
        rows_.resize(at + 1);
    }

    void delete_cells(unsigned n) {
        std::vector<Cell>& cells = row_cells();
        const unsigned at = std::min(col_, width_ - 1);
        n = std::min(n, width_ - at);
        clear_cell(at);
        if (at + n < width_) clear_cell(at + n);
        cells.erase(cells.begin() + at, cells.begin() + at + n);
        cells.resize(width_);
    }

    void insert_cells(unsigned n) {
        std::vector<Cell>& cells = row_cells();
        const unsigned at = std::min(col_, width_ - 1);
        n = std::min(n, width_ - at);
        clear_cell(at);
        cells.insert(cells.begin() + at, n, Cell{});
        cells.resize(width_);
        // A wide character pushed half off the row is gone.
        if (cells[width_ - 1].wide) cells[width_ - 1] = Cell{};
    }

    // The top live row becomes text: its written cells, blanks between
    // them, nothing after the last; a wrapped row goes on in the next.
    void freeze_top() {
        Row& top = rows_.front();
        std::size_t end = top.cells.size();
        while (end > 0 && !top.cells[end - 1].written) --end;
        for (std::size_t i = 0; i < end; ++i) {
            const Cell& cell = top.cells[i];
            if (cell.covered) continue;
            if (cell.written) done_ += cell.text;
            else done_ += ' ';
        }
        if (!top.wrapped) done_ += '\n';
        rows_.pop_front();
        ++first_live_;
    }

    void stop(const char* what) {
        if (why_.empty()) why_ = std::string("the command ") + what;
    }

    const std::uint32_t width_;
    const std::uint32_t height_;
    CharacterWidths widths_;
    std::deque<Row> rows_;
    std::uint64_t first_live_ = 0;
    std::uint64_t cursor_row_ = 0;
    unsigned col_ = 0;  // width_ means: past the last column, wrapping at the next character
    bool autowrap_ = true;
    std::optional<Position> saved_;
    std::string done_;
    std::string why_;
};

}  // namespace

RenderedText rendered_text(std::string_view bytes, std::uint32_t width, std::uint32_t height) {
    Canvas canvas(width, height);
    EscapeReader reader;
    reader.feed(bytes, canvas);
    reader.finish(canvas);
    return canvas.result(bytes);
}

}  // namespace termloom
