// The follower's policy for a site another program saved, with a loader of the test's own and a
// gate whose holds the test sets: the site is read again only while nothing holds it, not again
// for a while after its marks could not be saved first, and what was read takes the place of its
// tree only when no mark changed here meanwhile.

#include "UiTestSupport.h"
#include "ops/CommandGate.h"
#include "ui/SiteFollower.h"

#include <QTest>

using namespace uitest;

namespace {

struct FakeFiles : ISiteFiles {
    std::vector<CFTPSite*> reloads;
    bool IsIdle() const override { return true; }
    void Reload(CFTPSite* site) override { reloads.push_back(site); }
    bool SaveMarks(CFTPSite*, std::string) override { return true; }
    void Dispose(std::vector<std::unique_ptr<CObject>>) override {}
};

struct FakeHolders : IGateHolders {
    QString hold; // "walk", "read", "update" or none
    bool Walking() const override { return hold == QLatin1String("walk"); }
    void StopWalk() override {}
    bool Reading(const CFTPSite*) const override { return hold == QLatin1String("read"); }
    void ReadIfUnloaded(CFTPSite*) override {}
    bool Updating(const CFTPSite*) const override { return hold == QLatin1String("update"); }
    std::vector<CFTPSite*> AllSites() const override { return {}; }
    void Post(std::function<void()> work) override { work(); }
};

// One stored site, loaded here, then saved again by another program with a file more.
struct Followed {
    QTemporaryDir appDir;
    std::unique_ptr<CQuarnelDoc> doc;
    CFTPSite* site = nullptr;
    FakeFiles files;
    FakeHolders holders;
    CCommandGate gate{holders};
    std::unique_ptr<CSiteFollower> follower;
    std::vector<CFTPSite*> replaced;

    Followed() {
        SetAppDir(appDir.path().toStdString());
        {
            CQuarnelDoc writer;
            writer.OnNewDocument();
            AddFile(AddSite(writer, "srv")->m_pRootDir.get(), "a.txt", 1);
            writer.m_siteList.GetHead()->SaveCatalogue();
            writer.SaveSiteList();
        }
        doc = std::make_unique<CQuarnelDoc>();
        doc->OnNewDocument();
        site = doc->FindSiteByKey("srv");
        site->EnsureLoaded();
        CQuarnelDoc other;
        other.OnNewDocument();
        CFTPSite* elsewhere = other.FindSiteByKey("srv");
        elsewhere->EnsureLoaded();
        AddFile(elsewhere->m_pRootDir.get(), "new.txt", 2);
        elsewhere->SaveCatalogue();
        follower = std::make_unique<CSiteFollower>(*doc, files, gate);
        follower->SetCallbacks({}, {}, [this](CFTPSite* s) { replaced.push_back(s); });
    }
    std::shared_ptr<CFTPSite::CStoredTree> Read() const {
        return std::make_shared<CFTPSite::CStoredTree>(site->ReadStoredTree());
    }
};

} // namespace

class TestSiteFollower : public QObject {
    Q_OBJECT
private slots:
    void readAgainOnlyWhenNothingHoldsIt_data();
    void readAgainOnlyWhenNothingHoldsIt();
    void aSiteWhoseMarksWereNotSavedWaits();
    void whatWasReadGivesWayToMarksSetMeanwhile();
};

void TestSiteFollower::readAgainOnlyWhenNothingHoldsIt_data() {
    QTest::addColumn<QString>("hold");
    QTest::addColumn<int>("reloads");
    QTest::newRow("free") << QString() << 1;
    QTest::newRow("a walk") << QStringLiteral("walk") << 0;
    QTest::newRow("a read") << QStringLiteral("read") << 0;
    QTest::newRow("an update") << QStringLiteral("update") << 0;
}

void TestSiteFollower::readAgainOnlyWhenNothingHoldsIt() {
    QFETCH(QString, hold);
    QFETCH(int, reloads);
    Followed f;
    f.holders.hold = hold;
    f.follower->Poll();
    QCOMPARE(int(f.files.reloads.size()), reloads);
    f.follower->SetClosing(true);
    f.holders.hold.clear();
    f.follower->Poll();
    QCOMPARE(int(f.files.reloads.size()), reloads); // nothing while the window closes
}

void TestSiteFollower::aSiteWhoseMarksWereNotSavedWaits() {
    Followed f;
    f.follower->Poll();
    QCOMPARE(f.files.reloads.size(), 1u);
    f.follower->Reloaded(f.site, nullptr);
    f.follower->Poll();
    QCOMPARE(f.files.reloads.size(), 1u);
    QVERIFY(f.replaced.empty());
    // Removed and another site at its address: that one is not held back.
    f.follower->SiteRemoved(f.site);
    f.follower->Poll();
    QCOMPARE(f.files.reloads.size(), 2u);
}

void TestSiteFollower::whatWasReadGivesWayToMarksSetMeanwhile() {
    Followed f;
    f.site->m_bStateDirty = 1;
    f.follower->Reloaded(f.site, f.Read());
    QVERIFY(f.replaced.empty());
    QVERIFY(!f.site->m_pRootDir->FindFile("new.txt"));
    f.site->m_bStateDirty = 0;
    f.holders.hold = QStringLiteral("walk");
    f.follower->Reloaded(f.site, f.Read());
    QVERIFY(f.replaced.empty());
    f.holders.hold.clear();
    f.follower->Reloaded(f.site, f.Read());
    QCOMPARE(f.replaced, std::vector<CFTPSite*>{f.site});
    QVERIFY(f.site->m_pRootDir->FindFile("new.txt"));
}

QTEST_MAIN(TestSiteFollower)
#include "test_site_follower.moc"
