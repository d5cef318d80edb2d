#include "feeders.h"

#include <vterm.h>

#include <cstring>
#include <vector>

#include "terminal/terminal_parser.h"

namespace kestrel::bench {

namespace {

struct NullView : TerminalObserver {
    void notify(std::uint32_t, std::uintptr_t, std::intptr_t) override {}
    void ringBell() override {}
};

class KestrelFeeder : public Feeder {
public:
    KestrelFeeder(int scrollback, bool plainStorage)
    {
        parser_.attach(screen_);
        if (plainStorage) {
            screen_.setStorageMode(ScreenBuffer::StorageMode::Plain);
        }
        screen_.setScrollbackLines(scrollback);
        screen_.resize(80, 24, 640, 480, &view_);
    }
    void feed(const char* bytes, std::size_t length) override { parser_.feedBytes(bytes, length); }

private:
    ScreenBuffer screen_;
    TerminalParser parser_;
    NullView view_;
};

// libvterm's screen layer, keeping its own scroll-back: every line pushed off
// the top is copied into a ring of `scrollback` lines.
class VtermFeeder : public Feeder {
public:
    explicit VtermFeeder(int scrollback) : lines_(static_cast<std::size_t>(scrollback > 0 ? scrollback : 1))
    {
        vt_ = vterm_new(24, 80);
        vterm_set_utf8(vt_, 0);
        screen_ = vterm_obtain_screen(vt_);
        callbacks_.sb_pushline = &VtermFeeder::pushLine;
        vterm_screen_set_callbacks(screen_, &callbacks_, this);
        vterm_screen_reset(screen_, 1);
        keep_ = scrollback > 0;
    }
    ~VtermFeeder() override { vterm_free(vt_); }
    void feed(const char* bytes, std::size_t length) override { vterm_input_write(vt_, bytes, length); }

private:
    static int pushLine(int columns, const VTermScreenCell* cells, void* user)
    {
        auto* self = static_cast<VtermFeeder*>(user);
        if (self->keep_) {
            auto& line = self->lines_[self->next_];
            line.assign(cells, cells + columns);
            self->next_ = (self->next_ + 1) % self->lines_.size();
        }
        return 1;
    }

    VTerm* vt_ = nullptr;
    VTermScreen* screen_ = nullptr;
    VTermScreenCallbacks callbacks_{};
    std::vector<std::vector<VTermScreenCell>> lines_;
    std::size_t next_ = 0;
    bool keep_ = true;
};

}  // namespace

std::unique_ptr<Feeder> makeKestrelFeeder(int scrollback, bool plainStorage)
{
    return std::make_unique<KestrelFeeder>(scrollback, plainStorage);
}

std::unique_ptr<Feeder> makeVtermFeeder(int scrollback)
{
    return std::make_unique<VtermFeeder>(scrollback);
}

}  // namespace kestrel::bench
