#pragma once

#include <array>

class QIcon;
class QMenu;
class QString;

// The sides, in pixels, the tray icon is drawn at: the sizes panels ask for, from a 16-pixel
// panel to a high-density one.
inline constexpr std::array TrayIconSides{16, 22, 24, 32, 48, 64};

// The application's icon in the panel, with its tool tip and menu. The desktop's tray protocol
// decides how it is shown; the controller only says what to show.
class StatusItem
{
public:
    virtual ~StatusItem() = default;
    virtual void setIcon(const QIcon& icon) = 0;
    virtual QIcon icon() const = 0;
    // Hosts that show a tool tip show the title, then the body (the server's state) below it.
    virtual void setToolTip(const QString& title, const QString& body) = 0;
    // The menu stays the caller's; the item only shows it.
    virtual void setMenu(QMenu* menu) = 0;
    // While the server has failed the item asks the panel to show it, even where the panel hides
    // quiet items, with attentionIcon. Trays without such a state ignore it.
    virtual void setNeedsAttention(bool /*needed*/, const QIcon& /*attentionIcon*/) {}
    virtual void show() = 0;
    virtual bool isVisible() const = 0;
    // Docked in an X11 XEmbed tray: a StatusNotifierItem host that comes later takes it over.
    virtual bool isEmbedded() const { return false; }
};
