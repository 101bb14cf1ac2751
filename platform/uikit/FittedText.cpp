#include "platform/uikit/FittedText.h"

#include <QFontMetrics>
#include <QLabel>
#include <QStringList>
#include <QTextLayout>
#include <algorithm>

namespace kst::uikit {

int fitText(QLabel* label, const QString& text, int width, int maxLines) {
  const QFontMetrics metrics(label->font());
  label->setAccessibleName(text);
  label->setWordWrap(false);
  maxLines = std::max(1, maxLines);
  if (metrics.horizontalAdvance(text) <= width || width <= 0) {
    label->setText(text);
    return metrics.height();
  }
  QTextLayout layout(text, label->font());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  QStringList lines;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    if (lines.size() + 1 == maxLines) {
      // The last line room allows: the rest of the text, shortened if need be.
      lines << metrics.elidedText(text.mid(line.textStart()).trimmed(), Qt::ElideRight, width);
      break;
    }
    lines << text.mid(line.textStart(), line.textLength()).trimmed();
  }
  layout.endLayout();
  label->setText(lines.join('\n'));
  return metrics.lineSpacing() * (static_cast<int>(lines.size()) - 1) + metrics.height();
}

}  // namespace kst::uikit
