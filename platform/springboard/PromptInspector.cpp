#include "platform/springboard/PromptInspector.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLabel>
#include <QScreen>
#include <QTextEdit>
#include <QVariant>
#include <QWidget>
#include <array>
#include <optional>

#include "platform/springboard/ControlProtocol.h"

namespace kst::springboard {

namespace {

constexpr const char* kWindowName = "KstWindow";
constexpr const char* kMainViewName = "myView";
constexpr const char* kQuestionName = "hostLabel";
constexpr const char* kHostButtonName = "whoIS";
constexpr const char* kUrlName = "urlLabel";
constexpr const char* kHostPartsPanelName = "hostSelectionView";
constexpr const char* kWhoIsPanelName = "whoIsWindow";
constexpr const char* kWhoIsTextName = "whoIsTextView";
constexpr const char* kPortPanelName = "scroller";
constexpr const char* kAnswerButtonPrefix = "answerButton";
constexpr int kAnswerButtons = 6;
// Set by the prompt on its window: whether a touch reaches it now (false
// during its first moments and its fade-in).
constexpr const char* kAcceptsTouchesProperty = "acceptsTouches";

struct ControlName {
  const char* command;
  const char* objectName;
};
constexpr std::array<ControlName, 4> kControls = {{{"mode", "modeSegControl"},
                                                   {"hostForm", "detailSegControll"},
                                                   {"port", "portSegControll"},
                                                   {"hostParts", "hostPartsSegControl"}}};

// Shown on screen: the widget and every ancestor up to the window.
// What a button shows: the whole host for the host button, the accessible
// name for a button without a title of words (the information button).
QString buttonTitle(const QAbstractButton* b) {
  const QVariant full = b->property("hostText");
  if (full.isValid()) return full.toString();
  if (b->text().size() <= 1 && !b->accessibleName().isEmpty()) return b->accessibleName();
  QString text = b->text();
  return text.replace("&&", "&");
}

bool shown(const QWidget* w) {
  return w != nullptr && w->isVisibleTo(w->window()) && w->window()->isVisible();
}

QString oneLine(QString text) {
  text.replace('\n', ' ');
  return text;
}

QString describeControl(const ControlName& control, QWidget* w) {
  const QStringList segments = w->property("segmentTitles").toStringList();
  QList<int> selected;
  QMetaObject::invokeMethod(w, "selectedSegments", Qt::DirectConnection, Q_RETURN_ARG(QList<int>, selected));
  QStringList indices;
  for (int i : selected) indices << QString::number(i);
  return QStringLiteral("control %1: %2 selected=%3 enabled=%4")
      .arg(control.command, segments.join('|'), indices.isEmpty() ? QStringLiteral("-") : indices.join(','),
           QString::number(w->isEnabled() ? 1 : 0));
}

}  // namespace

// The prompt's main view: the window shows it through a scene, which makes
// it a top-level widget of its own.
static QWidget* viewRoot(QWidget* window) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == kMainViewName && w->isVisible()) return w;
  return window;
}

// A touch now would be ignored by the prompt: a scripted one is refused
// the same way, so that a script retries rather than believe it.
static bool ignoresTouches(const QWidget* window, QString* error) {
  const QVariant accepts = window->property(kAcceptsTouchesProperty);
  if (!accepts.isValid() || accepts.toBool()) return false;
  *error = QStringLiteral("the prompt ignores touches for its first moments; try again");
  return true;
}

// The toolkit's positions are in device-independent pixels; a pointer on
// the screen goes by the screen's own (twice as many at 2x). Screens keep
// their origin, so the scaling is about it.
static QPoint inScreenPixels(const QWidget* w, QPoint global) {
  const QScreen* screen = w->screen();
  if (screen == nullptr) return global;
  const QPoint origin = screen->geometry().topLeft();
  return origin + (global - origin) * screen->devicePixelRatio();
}

// The centre of `w` on the screen, in the screen's pixels. The prompt's main
// view is shown through a scene (turned to the device's orientation), so the
// way there goes through its proxy and the view that shows the scene.
static std::optional<QPoint> screenCentre(QWidget* root, QWidget* w) {
  QGraphicsProxyWidget* proxy = root->graphicsProxyWidget();
  if (proxy == nullptr || proxy->scene() == nullptr || proxy->scene()->views().isEmpty()) return std::nullopt;
  QGraphicsView* view = proxy->scene()->views().constFirst();
  const QPointF inRoot = w->mapTo(root, w->rect().center());
  const QPoint inView = view->mapFromScene(proxy->mapToScene(inRoot));
  return inScreenPixels(view, view->viewport()->mapToGlobal(inView));
}

QWidget* PromptInspector::promptWindow() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == kWindowName && w->isVisible()) return w;
  return nullptr;
}

QStringList PromptInspector::describe() {
  QWidget* shownWindow = promptWindow();
  if (shownWindow == nullptr) return {kPromptNoneLine};
  QWidget* window = viewRoot(shownWindow);
  QStringList lines{kPromptShownLine};
  QString ignored;
  if (ignoresTouches(shownWindow, &ignored)) lines << kTouchesIgnoredLine;
  if (auto* q = window->findChild<QLabel*>(kQuestionName)) lines << "question: " + oneLine(q->text());
  if (auto* h = window->findChild<QAbstractButton*>(kHostButtonName))
    lines << "host: " + oneLine(buttonTitle(h));
  if (auto* u = window->findChild<QLabel*>(kUrlName)) lines << "url: " + oneLine(u->text());
  for (const auto& control : kControls)
    if (auto* w = window->findChild<QWidget*>(control.objectName)) lines << describeControl(control, w);
  for (int i = 0; i < kAnswerButtons; ++i)
    if (auto* b = window->findChild<QAbstractButton*>(kAnswerButtonPrefix + QString::number(i)); shown(b))
      lines << "button: " + buttonTitle(b) + (b->isEnabled() ? QString() : QStringLiteral(" (disabled)"));
  // Where a pointer clicks each answer button on the screen.
  for (int i = 0; i < kAnswerButtons; ++i)
    if (auto* b = window->findChild<QAbstractButton*>(kAnswerButtonPrefix + QString::number(i)); shown(b))
      if (const std::optional<QPoint> at = screenCentre(window, b))
        lines << QStringLiteral("at: %1 %2 %3").arg(buttonTitle(b)).arg(at->x()).arg(at->y());
  for (QAbstractButton* b : window->findChildren<QAbstractButton*>()) {
    if (!shown(b) || b->objectName().startsWith(kAnswerButtonPrefix) || b->objectName() == kHostButtonName ||
        buttonTitle(b).isEmpty())
      continue;
    lines << "button: " + buttonTitle(b) + (b->isEnabled() ? QString() : QStringLiteral(" (disabled)"));
  }
  if (auto* panel = window->findChild<QWidget*>(kHostPartsPanelName))
    lines << QStringLiteral("hostParts panel: %1").arg(shown(panel) ? "shown" : "hidden");
  if (auto* whois = window->findChild<QWidget*>(kWhoIsPanelName); shown(whois)) {
    lines << QStringLiteral("whois panel: shown");
    if (auto* text = whois->findChild<QTextEdit*>(kWhoIsTextName))
      lines << "whois text: " + oneLine(text->toPlainText()).left(400);
  }
  if (auto* ports = window->findChild<QWidget*>(kPortPanelName); shown(ports)) lines << "port panel: shown";
  return lines;
}

// The visible button of that title on the prompt, or null with a reason.
static QAbstractButton* findButton(const QString& title, QString* error) {
  QWidget* window = PromptInspector::promptWindow();
  if (window == nullptr) {
    *error = QStringLiteral("no prompt on screen");
    return nullptr;
  }
  window = viewRoot(window);
  // Panels cover the prompt: the topmost visible button of that title wins.
  const auto buttons = window->findChildren<QAbstractButton*>();
  for (auto it = buttons.rbegin(); it != buttons.rend(); ++it)
    if (shown(*it) && ((*it)->text() == title || ::kst::springboard::buttonTitle(*it) == title)) return *it;
  *error = "no button \"" + title + "\" on screen";
  return nullptr;
}

bool PromptInspector::locate(const QString& title, QPoint* centre, QString* error) {
  QAbstractButton* button = findButton(title, error);
  if (button == nullptr) return false;
  const std::optional<QPoint> inScene = screenCentre(button->window(), button);
  *centre = inScene ? *inScene : inScreenPixels(button, button->mapToGlobal(button->rect().center()));
  return true;
}

bool PromptInspector::tap(const QString& title, QString* error) {
  QWidget* window = promptWindow();
  if (window != nullptr && ignoresTouches(window, error)) return false;
  QAbstractButton* found = findButton(title, error);
  if (found == nullptr) return false;
  if (!found->isEnabled()) {
    *error = "button \"" + title + "\" is disabled";
    return false;
  }
  found->click();
  return true;
}

bool PromptInspector::select(const QString& control, int index, QString* error) {
  QWidget* window = promptWindow();
  if (window == nullptr) {
    *error = QStringLiteral("no prompt on screen");
    return false;
  }
  if (ignoresTouches(window, error)) return false;
  window = viewRoot(window);
  for (const auto& c : kControls) {
    if (control != c.command) continue;
    auto* w = window->findChild<QWidget*>(c.objectName);
    if (!shown(w) || !w->isEnabled()) {
      *error = "control " + control + " is not available";
      return false;
    }
    const int count = static_cast<int>(w->property("segmentTitles").toStringList().size());
    if (index < 0 || index >= count) {
      *error = QStringLiteral("no segment %1 in %2").arg(index).arg(control);
      return false;
    }
    QMetaObject::invokeMethod(w, "tapSegment", Qt::DirectConnection, Q_ARG(int, index));
    return true;
  }
  *error = "unknown control " + control + " (mode, hostForm, port, hostParts)";
  return false;
}

}  // namespace kst::springboard
