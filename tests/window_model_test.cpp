// The result tree's model: stable indexes, invalid bytes shown and copied.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPersistentModelIndex>
#include <QTreeView>
#include <filesystem>
#include <memory>

#include "app/Grep1.h"
#include "app/ResultTreeModel.h"
#include "tests/TestSupport.h"

namespace kolbrin {
namespace {

using Texts = std::vector<std::string>;

// Collects what Qt's model tester reports while it is alive.
class ModelTesterFailures {
 public:
  ModelTesterFailures() { previous_ = qInstallMessageHandler(&Record); }
  ~ModelTesterFailures() { qInstallMessageHandler(previous_); }
  ModelTesterFailures(const ModelTesterFailures&) = delete;
  ModelTesterFailures& operator=(const ModelTesterFailures&) = delete;
  static Texts& Recorded() {
    static Texts recorded;
    return recorded;
  }

 private:
  static void Record(QtMsgType, const QMessageLogContext& context, const QString& message) {
    if (context.category && std::string_view(context.category) == "qt.modeltest") {
      Recorded().push_back(message.toStdString());
    }
  }
  QtMessageHandler previous_ = nullptr;
};

TextList Hits(std::initializer_list<std::string_view> texts) { return TextList(texts); }

TEST(ResultTreeModel, HitIndexKeepsItsFileWhenEarlierFileNodesAreRemoved) {
  ResultTreeModel model;
  ModelTesterFailures failures;
  ModelTesterFailures::Recorded().clear();
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);

  model.AddFileNode("/a", {});
  model.AddFileNodes({FileNode{"/b", Hits({"LINE[0000000001]:b1", "LINE[0000000002]:b2"})},
                      FileNode{"/c", {}}, FileNode{"/d", Hits({"LINE[0000000003]:d1"})},
                      FileNode{"/e", Hits({"LINE[0000000004]:e1"})}});
  const QPersistentModelIndex hitOfD = model.index(0, 0, model.index(3, 0));
  const QPersistentModelIndex hitOfB = model.index(1, 0, model.index(1, 0));

  model.RemoveFileNode(2);  // /c, between the two hits' files
  ASSERT_TRUE(hitOfD.isValid());
  ASSERT_EQ(model.TextOf(hitOfD), "LINE[0000000003]:d1");
  model.RemoveFileNodes(0, 1);  // /a, before both
  ASSERT_TRUE(hitOfD.isValid());
  ASSERT_TRUE(hitOfB.isValid());
  EXPECT_EQ(model.TextOf(hitOfD), "LINE[0000000003]:d1");
  EXPECT_EQ(model.TextOf(model.FileNodeOf(hitOfD)), "/d");
  EXPECT_EQ(hitOfD.parent().row(), 1);
  EXPECT_EQ(model.TextOf(hitOfB), "LINE[0000000002]:b2");
  EXPECT_EQ(model.TextOf(model.FileNodeOf(hitOfB)), "/b");

  model.RemoveFileNode(0);  // /b, the hit's own file: its index goes with it
  EXPECT_FALSE(hitOfB.isValid());
  EXPECT_EQ(model.TextOf(hitOfD), "LINE[0000000003]:d1");
  model.Clear();
  EXPECT_FALSE(hitOfD.isValid());
  model.AddFileNode("/f", Hits({"LINE[0000000005]:f1"}));
  EXPECT_EQ(ModelTesterFailures::Recorded(), Texts{});
}

// The window with the desktop's opener replaced by a recorder.
class WindowModel : public ::testing::Test {
 protected:
  TfmMain& Open() {
    std::filesystem::create_directory(folder.path() + "/temp");
    WindowServices services;
    services.ShowWarning = [](QWidget*, const QString&) {};
    services.ChooseApplication = [](QWidget*, const QString&) { return std::nullopt; };
    services.OpenDocument = [this](const std::string& document, const std::string&) {
      opened.push_back(document);
      return true;
    };
    services.LaunchApplication = [](const std::string&, const std::string&, const std::string&) {
      return true;
    };
    window = std::make_unique<TfmMain>(folder.path() + "/kolbrin.ini", folder.path() + "/temp/",
                                       services);
    window->show();
    return *window;
  }

  void DropAndWait(const Texts& paths) {
    window->WMDropFiles(paths);
    QElapsedTimer timer;
    timer.start();
    while (window->SearchThread && timer.elapsed() < 20000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    ASSERT_EQ(window->SearchThread, nullptr) << "timed out";
    QCoreApplication::processEvents();
  }

  test::TempFolder folder;
  std::unique_ptr<TfmMain> window;
  Texts opened;
};

TEST_F(WindowModel, SelectedHitStillNamesItsFileAfterHidingFilesWithoutHits) {
  TfmMain& w = Open();
  const std::string a = folder.Write("a.txt", "nothing\n");
  const std::string b = folder.Write("b.txt", "key in b\n");
  const std::string c = folder.Write("c.txt", "key in c\n");
  w.cbNFOpt->setChecked(false);
  w.edFind1->setText("key");
  DropAndWait({a, b, c});
  ASSERT_EQ(w.model->rowCount(), 3);
  w.mnAllOpenClick();
  w.tvFind->setCurrentIndex(w.model->index(0, 0, w.model->index(1, 0)));

  w.cbNFOpt->setChecked(true);
  ASSERT_EQ(w.model->rowCount(), 2);
  const QModelIndex selected = w.tvFind->currentIndex();
  ASSERT_TRUE(selected.isValid());
  EXPECT_EQ(w.model->TextOf(selected), "LINE[0000000001]:key in b");
  w.mnEditClick();
  EXPECT_EQ(opened, Texts{b});
}

}  // namespace
}  // namespace kolbrin
