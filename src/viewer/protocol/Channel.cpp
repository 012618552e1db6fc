#include "viewer/protocol/Channel.h"

#include <utility>

namespace Protocol {

Channel::Channel(std::string name_, Byte number_)
    : name(std::move(name_))
    , number(number_) {}

Channel::~Channel() = default;

void Channel::onClosed() {}

void Channel::send(std::vector<std::uint8_t>) {}

void Channel::error(std::string, unsigned char) {}

bool Channel::sendChecked(Byte messageChannel, std::vector<std::uint8_t> frame) {
    if (messageChannel != number) {
        error("Message channel number does not match assigned channel number", ErrorLevel::Protocol);
        return false;
    }
    send(std::move(frame));
    return true;
}

} // namespace Protocol
