#pragma once

// The server's own HTML (the message of the day, a schedule result) in the page's rich-text boxes.

#include <QString>

class QLabel;

namespace ServerHtml {

// The HTML with every image dropped that is neither one of the program's own resources nor a data:
// image of bounded size; nothing is read from the file system or the network while doing so. HTML
// that still points elsewhere after that (a background image, say) is reduced to its text.
QString withoutOutsideResources(const QString& html);

// The label opens http and https links with the desktop and ignores every other kind.
void openOnlyWebLinks(QLabel* label);

} // namespace ServerHtml
