#pragma once

#include <QAbstractButton>

namespace kst::uikit {

// A borderless image button whose image is drawn, not loaded: the title
// bar's few glyphs. Dimmed while pressed; no glow.
class GlyphButton : public QAbstractButton {
  Q_OBJECT

 public:
  enum class Glyph { kBack, kAdd, kEdit, kAccept, kSettings, kReload, kTrash };

  GlyphButton(Glyph glyph, QWidget* parent = nullptr);
  Glyph glyph() const { return glyph_; }
  void setGlyph(Glyph glyph);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Glyph glyph_;
};

}  // namespace kst::uikit
