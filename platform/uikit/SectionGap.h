#pragma once

#include <QWidget>

namespace kst::uikit {

// The bar between two sections: 3 or 6 points of the title colour.
class SectionGap : public QWidget {
 public:
  explicit SectionGap(int height, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace kst::uikit
