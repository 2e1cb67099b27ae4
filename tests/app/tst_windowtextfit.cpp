// The main window with the fonts Linux really has: the dialog face resolves to an installed
// face with Arial's metrics, every text of template 102 shows whole at its control's size,
// and controls that were apart in the template stay apart after growing to their texts.

#include "tests/support/IsolatedWindow.h"
#include "app/RFID_LorixDlg.h"
#include "settings/SettingsStore.h"
#include "res/DialogTemplates.h"
#include "res/Resource.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QScrollArea>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTest>

#include <memory>

namespace {

// The faces the dialog font may resolve to, and where the Windows face is asked for.
const QStringList ARIAL_METRIC_FACES{QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                    QStringLiteral("Nimbus Sans")};

// The room a control leaves for its text, from the style's metrics (not from where the
// style happens to put the text), so that a growing rule is checked against the style.
int textRoom(const QWidget *control)
{
    QStyle *style = control->style();
    if (qobject_cast<const QLabel *>(control))
        return control->contentsRect().width();
    if (qobject_cast<const QCheckBox *>(control))
        return control->width() - style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, control)
               - style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, control);
    if (qobject_cast<const QRadioButton *>(control))
        return control->width() - style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, control)
               - style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, control);
    if (qobject_cast<const QPushButton *>(control))
        return control->width() - 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, control);
    return -1;
}

bool showsText(ControlKind kind)
{
    using K = ControlKind;
    return kind == K::Label || kind == K::PushButton || kind == K::DefaultPushButton || kind == K::CheckBox
           || kind == K::PushLikeCheckBox || kind == K::RadioButton;
}

} // namespace

class TestWindowTextFit : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void dialogFaceHasArialMetrics();
    void wholeText_data();
    void wholeText();
    void apartControlsStayApart();

private:
    // The window's control showing this template text (static controls have no id).
    QWidget *controlWithText(const QString &text) const;

    IsolatedShownWindow m_shown;
};

void TestWindowTextFit::init()
{
    QVERIFY(m_shown.Open());
}

QWidget *TestWindowTextFit::controlWithText(const QString &text) const
{
    const auto children = m_shown.window->findChildren<QWidget *>();
    for (QWidget *child : children) {
        // The client's own controls and those of its left column.
        const QWidget *parent = child->parentWidget();
        if (parent != m_shown.window->client() && parent != m_shown.window->leftColumn()->widget())
            continue;
        if (auto *label = qobject_cast<QLabel *>(child); label && label->text() == text)
            return child;
        if (auto *button = qobject_cast<QAbstractButton *>(child); button && button->text() == text)
            return child;
    }
    return nullptr;
}

void TestWindowTextFit::dialogFaceHasArialMetrics()
{
    bool installed = false;
    for (const QString &face : ARIAL_METRIC_FACES)
        installed = installed || QFontDatabase::hasFamily(face);
    if (!installed)
        QSKIP("no face with Arial's metrics is installed (setup.sh installs fonts-liberation2)");
    QVERIFY2(ARIAL_METRIC_FACES.contains(QFontInfo(m_shown.window->font()).family()),
             qPrintable(QFontInfo(m_shown.window->font()).family()));
    // The request still names the template's face.
    QCOMPARE(m_shown.window->font().family(), QString::fromLatin1(MainDialogTemplate().fontFace));
}

void TestWindowTextFit::wholeText_data()
{
    QTest::addColumn<QString>("text");
    for (const DialogControlTemplate &item : MainDialogTemplate().controls) {
        if (item.text && showsText(item.kind))
            QTest::newRow(item.text) << QString::fromLatin1(item.text);
    }
}

void TestWindowTextFit::wholeText()
{
    QFETCH(QString, text);
    QWidget *control = controlWithText(text);
    QVERIFY(control);
    const int advance = control->fontMetrics().horizontalAdvance(text);
    const int room = textRoom(control);
    QVERIFY2(advance <= room, qPrintable(QStringLiteral("%1 px of text in %2 px").arg(advance).arg(room)));
    QVERIFY2(control->fontMetrics().height() <= control->height(), "the text is cut at the bottom");
}

void TestWindowTextFit::apartControlsStayApart()
{
    const DialogTemplate &dialog = MainDialogTemplate();
    const DialogBaseUnits units = BaseUnitsFor(m_shown.window->font());
    struct Placed { QString name; QRect designed; QRect actual; };
    QList<Placed> placed;
    int shift = -1;
    for (const DialogControlTemplate &item : dialog.controls) {
        if (item.hidden || item.id == IDC_LOG_VIEW || item.id == IDC_CLEAR
            || item.kind == ControlKind::GroupBox)
            continue;   // group boxes hold controls; the log and "Clear" follow the window's size
        QWidget *control = item.id != IDC_STATIC ? m_shown.window->control(item.id)
                           : item.text ? controlWithText(QString::fromLatin1(item.text)) : nullptr;
        if (!control)
            continue;
        const QRect designed = DialogUnitsToPixels(item.rect, units);
        const QRect actual(control->mapTo(m_shown.window->client(), QPoint()), control->size());
        if (shift < 0)
            shift = actual.y() - designed.y();
        placed.append({item.text ? QString::fromLatin1(item.text) : QString::number(item.id),
                       designed.translated(0, shift), actual});
    }
    QVERIFY(placed.size() > 10);
    for (int i = 0; i < placed.size(); ++i) {
        for (int j = i + 1; j < placed.size(); ++j) {
            if (placed[i].designed.intersects(placed[j].designed))
                continue;
            QVERIFY2(!placed[i].actual.intersects(placed[j].actual),
                     qPrintable(placed[i].name + QStringLiteral(" overlaps ") + placed[j].name));
        }
    }
}

QTEST_MAIN(TestWindowTextFit)
#include "tst_windowtextfit.moc"
