#pragma once

#include <QString>

class QLabel;

namespace kst::uikit {

// Puts `text` in `label` so that it fits `width`: on one line when it can,
// else broken at word boundaries onto at most `maxLines` lines, the last
// ending in "…" only when even those are too few. The label's accessible
// name keeps the whole text. Returns the height the lines need.
int fitText(QLabel* label, const QString& text, int width, int maxLines);

}  // namespace kst::uikit
