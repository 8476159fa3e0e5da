// The main window's controls: the TAB box, the search boxes, the tree's look and keys,
// and Qt's own texts in Japanese.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QImage>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QSpinBox>
#include <QTranslator>
#include <QTreeView>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/Grep1.h"
#include "platform/Profile.h"
#include "tests/TestSupport.h"

namespace kolbrin {
namespace {

class Controls : public ::testing::Test {
 protected:
  TfmMain& Open() {
    window = std::make_unique<TfmMain>(settings, folder.path() + "/", WindowServices{});
    window->show();
    QApplication::processEvents();
    return *window;
  }

  // A key press with the text it types, sent to `target` as the keyboard would.
  static void Press(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
                    const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(target, &release);
  }

  static void TypeDigits(QWidget* target, const std::string& digits) {
    for (const char digit : digits) {
      Press(target, Qt::Key_0 + (digit - '0'), Qt::NoModifier, QString(QChar::fromLatin1(digit)));
    }
  }

  test::TempFolder folder;
  const std::string settings = folder.path() + "/kolbrin.ini";
  std::unique_ptr<TfmMain> window;
};

// A number typed into the TAB box is shown as typed, also one outside 1 to 16, and
// becomes the tab width when the width is read (here at the close request) only if
// it lies within 1 to 16. The arrows step from the width so read, within 1 to 16.
TEST_F(Controls, TabBoxTakesATypedNumberWhenReadAndOnlyWithinRange) {
  struct Case {
    const char* typed;
    int steps;  // Up arrow presses, or Down arrow presses when negative
    const char* shown;
    const char* saved;
  };
  const Case cases[] = {
      {"20", 0, "20", "8"},  // outside: the previous width stays
      {"12", 0, "12", "12"}, {"0", 0, "0", "8"},    {"016", 0, "016", "16"}, {"20", 1, "9", "9"},
      {"3", -1, "2", "2"},   {"16", 1, "16", "16"}, {"1", -1, "1", "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("typed=") + c.typed + " steps=" + std::to_string(c.steps));
    std::filesystem::remove(settings);
    TfmMain& w = Open();
    w.udTab->setFocus();
    Press(w.udTab, Qt::Key_A, Qt::ControlModifier);  // select the shown 8, to type over it
    TypeDigits(w.udTab, c.typed);
    for (int step = 0; step < std::abs(c.steps); ++step) {
      Press(w.udTab, c.steps > 0 ? Qt::Key_Up : Qt::Key_Down);
    }
    EXPECT_EQ(w.udTab->text().toStdString(), c.shown);
    EXPECT_TRUE(w.close());
    EXPECT_EQ(platform::GetPrivateProfileString("KOLBRIN", "TAB", "", settings), c.saved);
    window.reset();
  }
}

// A search box keeps at most 255 bytes: a longer paste inserts what fits, cut at a
// character boundary, and a key typed at the limit inserts nothing.
TEST_F(Controls, SearchBoxCutsALongPasteTo255Bytes) {
  const QString a = QStringLiteral("a");
  const QString kana = QStringLiteral("あ");                   // 3 bytes
  const QString face = QString::fromUtf8("\xF0\x9F\x98\x80");  // 4 bytes, a surrogate pair
  struct Case {
    const char* name;
    QString before;
    int cursor;
    QString pasted;  // empty: type "z" instead
    QString after;
    int cursorAfter;
  };
  const Case cases[] = {
      {"kana", "", 0, a + kana.repeated(100), a + kana.repeated(84), 85},
      {"middle", "xy", 1, QString(300, u'b'), "x" + QString(253, u'b') + "y", 254},
      {"pair", "", 0, QString(252, u'd') + face, QString(252, u'd'), 252},
      {"fits", "", 0, QString(251, u'e') + face, QString(251, u'e') + face, 253},
      {"typed at limit", QString(255, u'c'), 255, "", QString(255, u'c'), 255},
  };
  TfmMain& w = Open();
  for (QLineEdit* box : {w.edFind1, w.edFind2}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(box == w.edFind1 ? "edFind1" : "edFind2") + " case=" + c.name);
      box->setText(c.before);
      box->setCursorPosition(c.cursor);
      box->setFocus();
      if (c.pasted.isEmpty()) {
        Press(box, Qt::Key_Z, Qt::NoModifier, QStringLiteral("z"));
      } else {
        QApplication::clipboard()->setText(c.pasted);
        Press(box, Qt::Key_V, Qt::ControlModifier);
      }
      EXPECT_EQ(box->text().toStdString(), c.after.toStdString());
      EXPECT_EQ(box->cursorPosition(), c.cursorAfter);
    }
  }
}

// Off the text, a hit row shows only what the style draws for the branches: the
// line from its file node and, left of it, the root line down to the next file.
TEST_F(Controls, TreeDrawsLinesBetweenNodesAndFromTheRoots) {
  TfmMain& w = Open();
  w.model->AddFileNode("/tmp/a.txt", {"LINE[0000000001]:alpha", "LINE[0000000002]:beta"});
  w.model->AddFileNode("/tmp/b.txt", {"LINE[0000000003]:gamma"});
  w.tvFind->expand(w.model->index(0, 0));
  QApplication::processEvents();
  const QImage shot = w.tvFind->viewport()->grab().toImage();
  const QRgb background = w.tvFind->viewport()->palette().color(QPalette::Base).rgb();
  const QRect hit = w.tvFind->visualRect(w.model->index(1, 0, w.model->index(0, 0)));
  const int indent = w.tvFind->indentation();
  ASSERT_GE(hit.left(), 2 * indent);
  auto drawnIn = [&](int left, int right) {
    int drawn = 0;
    for (int y = hit.top(); y <= hit.bottom(); ++y) {
      for (int x = left; x < right; ++x) drawn += shot.pixel(x, y) != background;
    }
    return drawn;
  };
  EXPECT_GT(drawnIn(0, indent), 0) << "root line";
  EXPECT_GT(drawnIn(indent, 2 * indent), 0) << "line from the file node";
}

// Shift+F10 and the Menu key on the focused tree open its pop-up menu, below the
// selected node, and leave the selection as it was.
TEST_F(Controls, TreeMenuKeysOpenThePopUpMenu) {
  struct Case {
    const char* name;
    int key;
    Qt::KeyboardModifiers modifiers;
  };
  const Case cases[] = {
      {"Shift+F10", Qt::Key_F10, Qt::ShiftModifier},
      {"Menu", Qt::Key_Menu, Qt::NoModifier},
  };
  TfmMain& w = Open();
  w.model->AddFileNode("/tmp/a.txt", {"LINE[0000000001]:alpha"});
  w.model->AddFileNode("/tmp/b.txt", {"LINE[0000000002]:beta"});
  const QModelIndex selected = w.model->index(1, 0);
  w.tvFind->setCurrentIndex(selected);
  w.tvFind->setFocus();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Press(w.tvFind, c.key, c.modifiers);
    ASSERT_TRUE(w.mnCmd->isVisible());
    const QRect node = w.tvFind->visualRect(selected);
    EXPECT_EQ(w.mnCmd->pos(), w.tvFind->viewport()->mapToGlobal(node.bottomLeft()));
    EXPECT_EQ(w.tvFind->currentIndex(), selected);
    w.mnCmd->hide();
  }
  Press(w.tvFind, Qt::Key_F10);
  EXPECT_FALSE(w.mnCmd->isVisible()) << "F10 alone is not the menu key";
}

// A left click on the tree's empty space keeps the selected node, so the commands
// that act on it, still enabled, still act.
TEST_F(Controls, ClickOnEmptyTreeSpaceKeepsTheSelection) {
  TfmMain& w = Open();
  w.model->AddFileNode("/tmp/a.txt", {"LINE[0000000001]:alpha"});
  const QModelIndex selected = w.model->index(0, 0);
  w.tvFind->setCurrentIndex(selected);
  w.UpdateMenuState();
  const QPoint empty(5, w.tvFind->viewport()->height() - 5);
  ASSERT_FALSE(w.tvFind->indexAt(empty).isValid());
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(empty), QPointF(empty), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w.tvFind->viewport(), &press);
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(empty), QPointF(empty), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(w.tvFind->viewport(), &release);
  EXPECT_TRUE(w.tvFind->selectionModel()->isSelected(selected));
  EXPECT_TRUE(w.mnEdit->isEnabled());
}

// Qt's own texts (the buttons and labels of the standard dialogs) come in Japanese
// from Qt's translation file, which Debian's qt6-translations-l10n installs.
TEST(QtTranslations, StandardButtonsSpeakJapanese) {
  const QString file =
      QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_ja.qm");
  if (!QFileInfo::exists(file)) GTEST_SKIP() << "not installed: " << file.toStdString();
  QTranslator* translator = TfmMain::InstallQtTranslations();
  ASSERT_NE(translator, nullptr);
  QDialogButtonBox buttons(QDialogButtonBox::Cancel);
  EXPECT_EQ(buttons.button(QDialogButtonBox::Cancel)->text().toStdString(), "キャンセル");
  QCoreApplication::removeTranslator(translator);
  delete translator;
}

}  // namespace
}  // namespace kolbrin
