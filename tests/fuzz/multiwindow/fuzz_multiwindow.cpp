// Fuzzes MultiWindowClientChannel::receive with one frame body (message id and fields).
//
// Checks: a frame either calls exactly one handler or reports exactly one error, never both; the
// handlers read only the fields their mask holds (an exception escaping is a crash here); and an
// update window message encodes back to a frame that decodes to the same record. Decoding holds no
// more than a few times the frame's size.

#include "../AllocationWatch.h"
#include "viewer/protocol/MultiWindow.h"

#include <cstddef>
#include <cstdint>

using namespace Protocol;
using namespace Protocol::MultiWindow;

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

std::vector<Byte> reencode(Word window, const UpdateWindowData& data) {
    UpdateWindowMessage m;
    m.channel = 1;
    m.window = window;
    m.data = data;
    return encode(m);
}

class FuzzChannel : public MultiWindowClientChannel {
public:
    explicit FuzzChannel(bool nested = false)
        : MultiWindowClientChannel("multiwindow", 1)
        , nested(nested) {}

    const bool nested;
    std::vector<Byte> lastUpdate; // a nested decode's update, encoded again

    int calls = 0;
    int errors = 0;
    std::size_t touched = 0;

    void error(std::string, unsigned char level) override {
        check(level == ErrorLevel::Protocol);
        ++errors;
    }
    void onCapabilities(std::list<Blob> list) override {
        ++calls;
        for (const Blob& b : list)
            touched += b.size();
    }
    void onDeleteWindow(Word) override { ++calls; }
    void onUpdateWindow(Word window, UpdateWindowData data) override {
        ++calls;
        if (data.has(Field::Title))
            touched += data.title().size();
        if (data.has(Field::Icons))
            for (const Blob& b : data.icons())
                touched += b.size();
        if (data.has(Field::Quads))
            touched += data.quads().size();
        const std::vector<Byte> frame = reencode(window, data);
        check(frame.size() >= 2);
        if (nested) {
            lastUpdate = frame;
            return;
        }
        FuzzChannel again(true);
        again.receive(std::vector<Byte>(frame.begin() + 1, frame.end()));
        check(again.calls == 1 && again.errors == 0);
        check(again.lastUpdate == frame);
    }
    void onActivateWindow(Word) override { ++calls; }
    void onRaiseWindow(Word) override { ++calls; }
    void onZOrder(std::vector<Word> windows) override {
        ++calls;
        touched += windows.size();
    }
    void onDesktopSync(Byte) override { ++calls; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzChannel channel;
    std::vector<Byte> frame(data, data + size);
    const fuzzing::AllocationWatch watch;
    channel.receive(std::move(frame));
    watch.checkWithin(size, 8, 6 << 20);
    check(channel.calls + channel.errors == 1);
    return 0;
}
