// What the link shows, and the two selections it reads back.
//
// The link never touches a widget: the main window implements this interface,
// and the tests implement it with plain strings.  Every text is a byte string
// in which each byte is one character (received characters are shown as they
// came); lines are joined by CR LF.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace gpslink {

// 0x00BBGGRR for a fixed colour, 0x800000nn for the system colour nn.
using Colour = std::uint32_t;

namespace colour {
inline constexpr Colour ButtonFace = 0x8000000F;        // system colour 15
inline constexpr Colour WindowBackground = 0x80000005;  // system colour 5
inline constexpr Colour Grey = 0x00AAAAAA;
inline constexpr Colour Red = 255;
inline constexpr Colour Green = 65280;
inline constexpr Colour Black = 0x00000000;
}  // namespace colour

class View {
public:
    virtual ~View() = default;

    // The status box; its being empty means "idle" to the start/stop button.
    virtual std::string statusText() const = 0;
    virtual void setStatusText(std::string_view text) = 0;
    virtual void setStatusColour(Colour colour) = 0;

    // The status label under the box.
    virtual void setLabelCaption(std::string_view caption) = 0;

    // The "Cold Start On/Off" button's face.
    virtual void setStartButtonColour(Colour colour) = 0;

    // The port and baud-rate selectors: their current texts, and their
    // background (both at once).
    virtual std::string portText() const = 0;
    virtual std::string baudText() const = 0;
    virtual void setSelectorColours(Colour colour) = 0;

    // The frame around the selectors; disabling it takes both out of reach.
    virtual void setFrameEnabled(bool enabled) = 0;
};

}  // namespace gpslink
