// TfmMain: construction, layout, settings and closing.
#include "app/Grep1.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFont>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QProxyStyle>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyleFactory>
#include <QTimer>
#include <QTranslator>
#include <QTreeView>
#include <QValidator>
#include <algorithm>
#include <mutex>

#include "archive/Archive.h"
#include "platform/Files.h"
#include "platform/Signals.h"

namespace kolbrin {
namespace {

// Measures at 96 dpi; Qt scales them with the desktop's setting.
constexpr int kDesignClientWidth = 346;
constexpr int kDesignClientHeight = 291;
constexpr int kPanelHeight = 71;
constexpr int kStatusHeight = 19;
// The frame the layout's outer sizes include: 354 x 318 outside for 346 x 291 inside.
constexpr int kFrameWidth = 8;
constexpr int kFrameHeight = 27;
constexpr QRect kStopDesign{124, 150, 102, 39};
constexpr int kMaxStringBytes = 255;

// An edit box that keeps at most 255 bytes of UTF-8 text. Text that would make it
// longer is cut to what fits: an insertion ends at the cursor, so characters are
// dropped from just before the cursor, keeping the head of a paste. When nothing of
// an insertion fits, the change is refused, which leaves the box and its undo
// history as they were.
class ByteLengthValidator final : public QValidator {
 public:
  explicit ByteLengthValidator(QLineEdit* edit) : QValidator(edit), previous_(edit->text()) {
    connect(edit, &QLineEdit::textChanged, this, [this](const QString& text) { previous_ = text; });
  }

  State validate(QString& input, int& pos) const override {
    qsizetype excess = input.toUtf8().size() - kMaxStringBytes;
    if (excess <= 0) return Acceptable;
    qsizetype cut = pos;
    while (excess > 0 && cut > 0) {
      // Whole characters only: a surrogate pair goes as one.
      const qsizetype width =
          cut > 1 && input[cut - 1].isLowSurrogate() && input[cut - 2].isHighSurrogate() ? 2 : 1;
      cut -= width;
      excess -= QStringView(input).mid(cut, width).toUtf8().size();
    }
    if (excess > 0) return Invalid;
    QString fitted = input;
    fitted.remove(cut, pos - cut);
    if (fitted == previous_) return Invalid;
    input = fitted;
    pos = int(cut);
    return Acceptable;
  }

 private:
  QString previous_;  // the box's text before the change being validated
};

// The number typed into the TAB box when it lies within the range, else the
// position the box holds.
int TypedTabWidth(const QSpinBox& box) {
  bool isNumber = false;
  const int typed = box.text().toInt(&isNumber);
  return isNumber && typed >= box.minimum() && typed <= box.maximum() ? typed : box.value();
}

// Reads the TAB box's position: a number typed within the range becomes the
// position; any other text stays shown and the previous position stands.
int SettleTypedTabWidth(QSpinBox& box) {
  const int position = TypedTabWidth(box);
  if (position != box.value()) box.setValue(position);
  return position;
}

// edTab and udTab as one spin box: its edit box, then its arrows on the right. The
// edit box takes any number, also one outside the range, and shows it as typed; the
// position changes only when it is read, when the arrows step from it, or when the
// box is left or Enter pressed, which then shows the position again.
class TabWidthBox final : public QSpinBox {
 public:
  explicit TabWidthBox(QWidget* parent) : QSpinBox(parent) {
    setRange(settings::kMinTabWidth, settings::kMaxTabWidth);
    setValue(settings::kDefaultTabWidth);
    setWrapping(false);
    setKeyboardTracking(false);
  }

  QValidator::State validate(QString& input, int&) const override {
    for (const QChar c : input) {
      if (c < u'0' || c > u'9') return QValidator::Invalid;
    }
    bool isNumber = false;
    const int typed = input.toInt(&isNumber);
    return isNumber && typed >= minimum() && typed <= maximum() ? QValidator::Acceptable
                                                                : QValidator::Intermediate;
  }

  // The arrows step from the position as read now; the box then shows the result.
  void stepBy(int steps) override {
    setValue(TypedTabWidth(*this));
    QSpinBox::stepBy(steps);
  }

  StepEnabled stepEnabled() const override {
    const int position = TypedTabWidth(*this);
    StepEnabled enabled = StepNone;
    if (position < maximum()) enabled |= StepUpEnabled;
    if (position > minimum()) enabled |= StepDownEnabled;
    return enabled;
  }
};

// The application's style, except that tree branches are drawn as the Windows style
// draws them: dotted lines between the nodes, also from the roots, and boxed expand
// buttons. Other styles (Fusion among them) draw the buttons only.
class TreeLinesStyle final : public QProxyStyle {
 public:
  TreeLinesStyle() : lines_(QStyleFactory::create(QStringLiteral("Windows"))) {}

  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
    if (element == PE_IndicatorBranch && lines_ != nullptr) {
      lines_->drawPrimitive(element, option, painter, widget);
      return;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
  }

 private:
  std::unique_ptr<QStyle> lines_;
};

// The window as assistive technology sees it: its controls, less the hidden ones
// (the label that only lends the tree its accelerator, the stop button between
// searches), which Qt would list all the same.
class WindowAccessible final : public QAccessibleWidget {
 public:
  explicit WindowAccessible(QWidget* window) : QAccessibleWidget(window, QAccessible::Window) {}

  int childCount() const override { return static_cast<int>(ShownChildren().size()); }

  QAccessibleInterface* child(int index) const override {
    const std::vector<QWidget*> shown = ShownChildren();
    if (index < 0 || static_cast<std::size_t>(index) >= shown.size()) return nullptr;
    return QAccessible::queryAccessibleInterface(shown[static_cast<std::size_t>(index)]);
  }

  int indexOfChild(const QAccessibleInterface* child) const override {
    if (child == nullptr) return -1;
    const std::vector<QWidget*> shown = ShownChildren();
    const auto at = std::find(shown.begin(), shown.end(), child->object());
    return at == shown.end() ? -1 : static_cast<int>(at - shown.begin());
  }

 private:
  std::vector<QWidget*> ShownChildren() const {
    std::vector<QWidget*> shown;
    for (QObject* object : widget()->children()) {
      auto* control = qobject_cast<QWidget*>(object);
      if (control != nullptr && !control->isWindow() && !control->isHidden()) {
        shown.push_back(control);
      }
    }
    return shown;
  }
};

QAccessibleInterface* MakeWindowAccessible(const QString&, QObject* object) {
  auto* window = dynamic_cast<TfmMain*>(object);
  return window != nullptr ? new WindowAccessible(window) : nullptr;
}

QFont WindowFont() {
  QFont font(QStringLiteral("ＭＳ Ｐゴシック"));
  font.setPixelSize(12);
  return font;
}

QFont TreeFont() {
  QFont font(QStringLiteral("ＭＳ ゴシック"));
  font.setPixelSize(13);
  font.setStyleHint(QFont::TypeWriter);
  return font;
}

template <typename Widget>
Widget* Place(Widget* widget, int left, int top, int width, int height) {
  widget->setGeometry(left, top, width, height);
  return widget;
}

QLineEdit* SearchStringEdit(QWidget* parent, int top) {
  auto* edit = Place(new QLineEdit(parent), 91, top, 214, 20);
  edit->setValidator(new ByteLengthValidator(edit));
  return edit;
}

}  // namespace

void TfmMain::InstallFontSubstitutions() {
  QFont::insertSubstitutions(QStringLiteral("ＭＳ Ｐゴシック"),
                             {QStringLiteral("MS PGothic"), QStringLiteral("IPAPGothic")});
  QFont::insertSubstitutions(QStringLiteral("ＭＳ ゴシック"),
                             {QStringLiteral("MS Gothic"), QStringLiteral("IPAGothic")});
  QFont::insertSubstitution(QStringLiteral("MS PGothic"), QStringLiteral("IPAPGothic"));
  QFont::insertSubstitution(QStringLiteral("MS Gothic"), QStringLiteral("IPAGothic"));
}

QTranslator* TfmMain::InstallQtTranslations() {
  // The window is Japanese whatever the user's locale, so Qt's own texts are too.
  auto translator = std::make_unique<QTranslator>(QCoreApplication::instance());
  if (!translator->load(QStringLiteral("qtbase_ja"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    return nullptr;
  }
  QCoreApplication::installTranslator(translator.get());
  return translator.release();
}

TfmMain::TfmMain(std::string settingsPath, std::string tempParent, WindowServices services)
    : services_(std::move(services)), tempParent_(std::move(tempParent)) {
  static std::once_flag accessibleInstalled;
  std::call_once(accessibleInstalled, [] { QAccessible::installFactory(MakeWindowAccessible); });
  BuildControls();
  BuildMenu();
  ConnectHandlers();
  FormCreate();
  SettingsPath = std::move(settingsPath);
  ReadSettings();
  lateFailures_->dispatcher = &dispatcher_;
}

TfmMain::~TfmMain() {
  {
    const std::lock_guard<std::mutex> lock(lateFailures_->mutex);
    lateFailures_->dispatcher = nullptr;
  }
  // A worker still running, or ended and not yet released, goes before the
  // dispatcher it posts to.
  worker_.reset();
  endedWorker_.reset();
}

void TfmMain::BuildControls() {
  setObjectName(QStringLiteral("fmMain"));
  setWindowTitle(QStringLiteral("Kolbrin!"));
  setFont(WindowFont());
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);
  setAcceptDrops(true);
  setMinimumSize(192 - kFrameWidth, 128 - kFrameHeight);
  move(50, 50);
  resize(kDesignClientWidth, kDesignClientHeight);

  // Never shown; its accelerator still moves the focus to the tree (below).
  Label5 = Place(new QLabel(QStringLiteral("List(&Q)"), this), 145, 85, 35, 12);
  Label5->hide();

  model = new ResultTreeModel(this);
  showPendingTimer_ = new QTimer(this);
  showPendingTimer_->setSingleShot(true);
  showPendingTimer_->setInterval(100);
  connect(showPendingTimer_, &QTimer::timeout, this, &TfmMain::ShowPending);
  tvFind = new QTreeView(this);
  tvFind->setModel(model);
  tvFind->setFont(TreeFont());
  tvFind->setHeaderHidden(true);
  tvFind->setIndentation(19);
  tvFind->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tvFind->setRootIsDecorated(true);
  // Owned by the window and made after the tree, so it outlives the tree.
  auto* treeStyle = new TreeLinesStyle;
  treeStyle->setParent(this);
  tvFind->setStyle(treeStyle);
  tvFind->setUniformRowHeights(true);
  tvFind->setContextMenuPolicy(Qt::CustomContextMenu);
  tvFind->setSelectionMode(QAbstractItemView::SingleSelection);
  tvFind->header()->setSectionResizeMode(QHeaderView::Interactive);
  tvFind->header()->setStretchLastSection(false);
  tvFind->viewport()->installEventFilter(this);

  Panel1 = new QWidget(this);
  Label1 = Place(new QLabel(QStringLiteral("検索文字列(&1)"), Panel1), 10, 10, 74, 12);
  Label2 = Place(new QLabel(QStringLiteral("Tab="), Panel1), 355, 53, 25, 12);
  Label3 = Place(new QLabel(QStringLiteral("SPACE"), Panel1), 433, 53, 37, 12);
  Label4 = Place(new QLabel(QStringLiteral("検索文字列(&2)"), Panel1), 10, 31, 74, 12);
  cbDist = Place(new QCheckBox(QStringLiteral("大／小文字を区別(&D)"), Panel1), 8, 49, 134, 17);
  edFind1 = SearchStringEdit(Panel1, 6);
  cbNFOpt =
      Place(new QCheckBox(QStringLiteral("NotFoundﾌｧｲﾙは非表示(&N)"), Panel1), 152, 50, 169, 17);
  cbNFOpt->setChecked(true);
  udTab = Place(new TabWidthBox(Panel1), 385, 49, 45, 20);
  edFind2 = SearchStringEdit(Panel1, 28);
  pbOpt = Place(new QPushButton(QStringLiteral("AND"), Panel1), 309, 7, 32, 42);
  Label1->setBuddy(edFind1);
  Label4->setBuddy(edFind2);

  pbStop = new QPushButton(QStringLiteral("中断(&S)"), this);
  pbStop->setGeometry(kStopDesign);
  pbStop->hide();

  sbMsg = new QStatusBar(this);
  sbMsg->setSizeGripEnabled(true);
  sbMsg->setFont(QApplication::font());

  setTabOrder(edFind1, edFind2);
  setTabOrder(edFind2, pbOpt);
  setTabOrder(pbOpt, cbDist);
  setTabOrder(cbDist, cbNFOpt);
  setTabOrder(cbNFOpt, udTab);
  setTabOrder(udTab, tvFind);
  setTabOrder(tvFind, pbStop);

  tvFind->setAccessibleName(QStringLiteral("検索結果"));
  udTab->setAccessibleName(QStringLiteral("TAB幅"));

  auto* focusTree = new QShortcut(QKeySequence(QStringLiteral("Alt+Q")), this);
  connect(focusTree, &QShortcut::activated, tvFind, [this] { tvFind->setFocus(); });
}

void TfmMain::BuildMenu() {
  mnCmd = new QMenu(this);
  mnEdit = mnCmd->addAction(QStringLiteral("このファイルを開く(&E)"));
  mnOpenApp = mnCmd->addAction(QStringLiteral("ｱﾌﾟﾘｹｰｼｮﾝから開く(&R)"));
  mnHistoryMenu = mnCmd->addMenu(QStringLiteral("最近使ったｱﾌﾟﾘ(&H)"));
  mnHistory = mnHistoryMenu->menuAction();
  mnHistoryMenu->addAction(QStringLiteral("(なし)"));  // placeholder until the rebuild
  mnCmd->addSeparator();
  mnCopy = mnCmd->addAction(QStringLiteral("コピー(&C)"));
  mnCopy->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
  mnAllOpen = mnCmd->addAction(QStringLiteral("すべて展開(&O)"));
  mnAllClose = mnCmd->addAction(QStringLiteral("すべて閉じる(&X)"));
  mnClose = mnCmd->addAction(QStringLiteral("このリストを閉じる(&U)"));
  // The shortcut acts while the tree has the focus; added to the tree, it wins
  // over the view's own Ctrl+C.
  mnCopy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  tvFind->addAction(mnCopy);
}

void TfmMain::ConnectHandlers() {
  connect(mnEdit, &QAction::triggered, this, &TfmMain::mnEditClick);
  connect(mnOpenApp, &QAction::triggered, this, &TfmMain::mnOpenAppClick);
  connect(mnCopy, &QAction::triggered, this, &TfmMain::mnCopyClick);
  connect(mnAllOpen, &QAction::triggered, this, &TfmMain::mnAllOpenClick);
  connect(mnAllClose, &QAction::triggered, this, &TfmMain::mnAllCloseClick);
  connect(mnClose, &QAction::triggered, this, &TfmMain::mnCloseClick);
  connect(pbOpt, &QPushButton::clicked, this, &TfmMain::pbOptClick);
  connect(pbStop, &QPushButton::clicked, this, &TfmMain::pbStopClick);
  connect(cbNFOpt, &QCheckBox::toggled, this, &TfmMain::cbNFOptClick);
  connect(tvFind, &QTreeView::clicked, this, &TfmMain::tvFindClick);
  // The commands follow the selected node however it changes (a click, the keyboard,
  // a right click, a new search clearing the tree), and are checked again as the
  // menu opens.
  connect(tvFind->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &TfmMain::UpdateMenuState);
  connect(mnCmd, &QMenu::aboutToShow, this, &TfmMain::UpdateMenuState);
  // Enter or F5 in a search box searches the last files again.
  for (QLineEdit* edit : {edFind1, edFind2}) {
    connect(edit, &QLineEdit::returnPressed, this, &TfmMain::SearchAgain);
    auto* again = new QShortcut(QKeySequence(Qt::Key_F5), edit, nullptr, nullptr,
                                Qt::WidgetShortcut);
    connect(again, &QShortcut::activated, this, &TfmMain::SearchAgain);
  }
  connect(tvFind, &QTreeView::customContextMenuRequested, this, [this](const QPoint& at) {
    // A right click selects the node under the pointer before the menu opens.
    const QModelIndex index = tvFind->indexAt(at);
    if (index.isValid()) tvFind->setCurrentIndex(index);
    mnCmd->popup(tvFind->viewport()->mapToGlobal(at));
  });
  // Shift+F10 and the Menu key reach the tree as key presses, or, where the platform
  // turns the Menu key into a context menu request, as a keyboard context menu event.
  tvFind->installEventFilter(this);
}

void TfmMain::FormCreate() {
  MakeWholeWindowTheDropTarget();
  LoadLzhLibrary();
  LoadZipLibrary();
  LoadAnyLibrary();
}

void TfmMain::ReadSettings() {
  setWindowTitle(QString::fromUtf8(kApplicationTitle));
  BaseCaption = windowTitle();
  // Members are extracted into a folder of our own, so no file of another program
  // or user is overwritten or deleted, and nobody can plant a link there. Without
  // one (empty) archives are passed over, and plain files still searched.
  privateFolder_ = platform::CreatePrivateFolder(tempParent_);
  TempDir = privateFolder_ ? privateFolder_->path() : "";
  udTab->setValue(settings::ReadTabWidth(SettingsPath));
  Encoding =
      ParseEncodingName(settings::ReadEncodingName(SettingsPath)).value_or(TextEncoding::Auto);
  SearchFolders = settings::ReadSearchFolders(SettingsPath);
  Jobs = settings::ReadJobs(SettingsPath);
  RecentApps = settings::ReadRecentApps(SettingsPath);
  RebuildHistoryMenu();
  CloseRequested = false;
  AndMode = kAndMode;
  UpdateMenuState();
}

void TfmMain::UpdateMenuState() {
  const bool selected = tvFind->selectionModel()->hasSelection();
  for (QAction* item : {mnEdit, mnOpenApp, mnHistory, mnClose}) item->setEnabled(selected);
  const bool hasNodes = model->rowCount() > 0;
  mnAllOpen->setEnabled(hasNodes);
  mnAllClose->setEnabled(hasNodes);
}

int TfmMain::TabPosition() const { return SettleTypedTabWidth(*udTab); }

void TfmMain::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int w = width();
  const int h = height();
  const int grow = w - kDesignClientWidth;
  Panel1->setGeometry(0, 0, w, kPanelHeight);
  edFind1->setGeometry(91, 6, 214 + grow, 20);
  edFind2->setGeometry(91, 28, 214 + grow, 20);
  pbOpt->setGeometry(309 + grow, 7, 32, 42);
  sbMsg->setGeometry(0, h - kStatusHeight, w, kStatusHeight);
  tvFind->setGeometry(0, kPanelHeight, w, std::max(0, h - kPanelHeight - kStatusHeight));
  // The stop button keeps its centre's proportional place in the client area.
  const QPointF centre = QRectF(kStopDesign).center();
  const double x = centre.x() * w / kDesignClientWidth;
  const double y = centre.y() * h / kDesignClientHeight;
  pbStop->move(qRound(x - kStopDesign.width() / 2.0), qRound(y - kStopDesign.height() / 2.0));
}

void TfmMain::OpenTreeMenuFromKeyboard() {
  // The platform may send a context menu request after the key press that opened it.
  if (mnCmd->isVisible()) return;
  // The menu opens below the current node, or at the tree's top left without one;
  // the selection stays as it is.
  const QRect node = tvFind->visualRect(tvFind->currentIndex());
  const QPoint at = node.isValid() ? node.bottomLeft() : QPoint(0, 0);
  mnCmd->popup(tvFind->viewport()->mapToGlobal(at));
}

bool TfmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == tvFind && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const auto modifiers = key->modifiers() & ~Qt::KeypadModifier;
    if ((key->key() == Qt::Key_F10 && modifiers == Qt::ShiftModifier) ||
        (key->key() == Qt::Key_Menu && modifiers == Qt::NoModifier)) {
      OpenTreeMenuFromKeyboard();
      return true;
    }
  }
  if (watched == tvFind && event->type() == QEvent::ContextMenu &&
      static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
    OpenTreeMenuFromKeyboard();
    return true;
  }
  // A click on the tree's empty space keeps the selection, as the commands that act
  // on the selected node stay enabled; it only takes the focus.
  if (watched == tvFind->viewport() &&
      (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) &&
      !tvFind->indexAt(static_cast<QMouseEvent*>(event)->position().toPoint()).isValid()) {
    tvFind->setFocus(Qt::MouseFocusReason);
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TfmMain::closeEvent(QCloseEvent* event) {
  bool CanClose = true;
  FormCloseQuery(CanClose);
  if (!CanClose) {
    event->ignore();
    return;
  }
  FormClose();
  event->accept();
}

void TfmMain::FormCloseQuery(bool& CanClose) {
  CanClose = true;
  settings::WriteTabWidth(SettingsPath, TabPosition());
  if (IsSearching()) {
    CanClose = false;
    CloseRequested = true;
    worker_->RequestStop();
  }
}

void TfmMain::FormClose() {
  setWindowTitle(QStringLiteral(" Now Deleting..."));
  QApplication::setOverrideCursor(Qt::WaitCursor);
  repaint();
  // Every copy goes with the private folder, also what a stopped extraction may have
  // left that was never listed.
  if (!TempDir.empty()) platform::RemoveFolderTree(TempDir);
  TempFileList.clear();
  model->Clear();
  UpdateMenuState();
  sbMsg->clearMessage();
  QApplication::restoreOverrideCursor();
  FreeLzhLibrary();
  FreeZipLibrary();
  FreeAnyLibrary();
}

void TfmMain::AbandonSession(int exitStatus) {
  // An ended worker may still be finishing its thread: that one is held too.
  platform::AbandonAndExit(worker_ != nullptr ? worker_.get() : endedWorker_.get(), TempDir,
                           exitStatus);
}

}  // namespace kolbrin
