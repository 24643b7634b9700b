#pragma once

#include <QString>
#include <QStringList>

// A modal alert as the application shows it: a style, a title, an informative text and buttons
// in reading order, the first being the default.
struct AlertRequest
{
    enum class Style
    {
        Warning,
        Informational
    };
    Style style = Style::Warning;
    QString title;
    QString informativeText;
    QStringList buttons;
};

class Alerts
{
public:
    virtual ~Alerts() = default;
    // Shows the alert modally and returns the index of the chosen button (0 is the first),
    // or -1 when the alert was closed some other way.
    virtual int run(const AlertRequest& request) = 0;
};
