// SPDX-License-Identifier: Apache-2.0
#include "GuiHarness.h"

#include "gui/KivoGui.h"
#include "support/CoroTest.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QDir>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <cstdio>

namespace kivo::test {

namespace {

void collectTexts(QQuickItem* item, QStringList& out)
{
    if (!item->isVisible())
        return;
    const QVariant text = item->property("text");
    if (text.isValid() && text.canConvert<QString>() && !text.toString().isEmpty() && item->opacity() > 0)
        out << text.toString();
    for (QQuickItem* child : item->childItems())
        collectTexts(child, out);
}

struct TextBox {
    QQuickItem* item;
    QRectF rect; // the painted text, clipped to what its scrolling ancestors show
};

// Visible labels with their painted rectangles in window coordinates.
void collectTextBoxes(QQuickItem* item, QList<TextBox>& out, QRectF clip)
{
    if (!item->isVisible() || item->opacity() <= 0)
        return;
    if (item->clip())
        clip = clip.intersected(item->mapRectToScene(QRectF(0, 0, item->width(), item->height())));
    const QString text = item->property("text").toString();
    if (item->inherits("QQuickText") && !text.isEmpty()) {
        const qreal w = std::min(item->width(), item->property("contentWidth").toReal());
        const qreal h = std::min(item->height(), item->property("contentHeight").toReal());
        const int align = item->property("horizontalAlignment").toInt();
        const qreal x = align == Qt::AlignHCenter ? (item->width() - w) / 2 : align == Qt::AlignRight ? item->width() - w : 0;
        const QRectF painted = item->mapRectToScene(QRectF(x, 0, w, h)).intersected(clip);
        if (!painted.isEmpty())
            out.append({item, painted});
    }
    for (QQuickItem* child : item->childItems())
        collectTextBoxes(child, out, clip);
}

QAccessibleInterface* findAccessible(QAccessibleInterface* node, const QString& name, int depth = 0)
{
    if (!node || depth > 64)
        return nullptr;
    if (node->text(QAccessible::Name) == name && !node->state().invisible)
        return node;
    for (int i = 0; i < node->childCount(); ++i)
        if (QAccessibleInterface* hit = findAccessible(node->child(i), name, depth + 1))
            return hit;
    return nullptr;
}

// Warnings of Qt and of the screens while a harness lives; the program's own log lines are not among them.
QStringList* g_warnings = nullptr;
QtMessageHandler g_previousHandler = nullptr;

void keepWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QLatin1String category(context.category ? context.category : "");
    if (g_warnings && type >= QtWarningMsg && !category.startsWith(QLatin1String("com.kivo.")))
        g_warnings->append(message);
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

GuiHarness::GuiHarness(SessionEnvironment environment, QSize size)
    : m_clock(std::make_shared<ManualClock>())
{
    g_warnings = &m_warnings;
    g_previousHandler = qInstallMessageHandler(keepWarnings);
    if (!environment.clock)
        environment.clock = m_clock.get();
    m_state = std::make_unique<AppState>(environment);
    m_feed = std::make_unique<gui::ProgressFeed>(m_state.get(), m_clock);
    m_engine = std::make_unique<QQmlApplicationEngine>();
    QObject::connect(m_engine.get(), &QQmlEngine::warnings, m_engine.get(), [this](const QList<QQmlError>& errors) {
        for (const QQmlError& e : errors)
            m_warnings << e.toString();
    });
    m_window = gui::loadMainWindow(*m_engine, m_state.get(), m_feed.get());
    if (!m_window) {
        m_warnings << QStringLiteral("the main window did not load");
        return;
    }
    m_window->resize(size);
    m_window->show();
    m_window->requestActivate(); // keys go to the focused control of the active window
    settle();
}

GuiHarness::~GuiHarness()
{
    EXPECT_TRUE(m_warnings.isEmpty()) << m_warnings.join(u'\n').toStdString();
    if (m_window)
        m_window->close();
    m_engine.reset();
    m_feed.reset();
    m_state.reset();
    qInstallMessageHandler(g_previousHandler);
    g_warnings = nullptr;
}

void GuiHarness::settle()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    if (m_window)
        m_window->grabWindow(); // forces polish and layout
}

QStringList GuiHarness::visibleTexts()
{
    settle();
    QStringList out;
    if (m_window)
        collectTexts(m_window->contentItem(), out);
    return out;
}

QStringList GuiHarness::layoutProblems()
{
    settle();
    QStringList problems;
    QList<TextBox> boxes;
    const QRectF windowRect(0, 0, m_window->width(), m_window->height());
    // Clipping to a generous frame keeps what sticks out of the window visible to the check.
    // An open sheet covers the screen beneath it: only the sheet is looked at then.
    QQuickItem* root = m_window->contentItem();
    QList<QQuickItem*> pending{m_window->contentItem()};
    while (!pending.isEmpty()) {
        QQuickItem* item = pending.takeFirst();
        if (item->inherits("QQuickPopupItem") && item->isVisible())
            root = item;
        pending += item->childItems();
    }
    collectTextBoxes(root, boxes, windowRect.adjusted(-10000, -10000, 10000, 10000));
    const auto name = [](const TextBox& b) { return b.item->property("text").toString(); };
    // A line scrolled almost out of view leaves a sliver that is no problem of the layout.
    boxes.removeIf([](const TextBox& b) { return b.rect.adjusted(1, 1, -1, -1).isEmpty(); });
    for (const TextBox& b : boxes)
        if (!windowRect.contains(b.rect.adjusted(1, 1, -1, -1)))
            problems << QStringLiteral("outside the window: \"%1\" at %2,%3 %4x%5")
                            .arg(name(b)).arg(b.rect.x()).arg(b.rect.y()).arg(b.rect.width()).arg(b.rect.height());
    for (qsizetype i = 0; i < boxes.size(); ++i)
        for (qsizetype j = i + 1; j < boxes.size(); ++j)
            if (boxes[i].rect.adjusted(1, 1, -1, -1).intersects(boxes[j].rect.adjusted(1, 1, -1, -1)))
                problems << QStringLiteral("\"%1\" overlaps \"%2\"").arg(name(boxes[i]), name(boxes[j]));
    return problems;
}

QStringList GuiHarness::unnamedControls()
{
    settle();
    QStringList unnamed;
    QList<QQuickItem*> pending{m_window->contentItem()};
    while (!pending.isEmpty()) {
        QQuickItem* item = pending.takeFirst();
        if (!item->isVisible())
            continue;
        const bool control = item->inherits("QQuickAbstractButton") || item->inherits("QQuickTextField");
        if (control) {
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(item);
            if (!a || a->text(QAccessible::Name).isEmpty())
                unnamed << QString::fromLatin1(item->metaObject()->className());
        }
        pending += item->childItems();
    }
    return unnamed;
}

QString GuiHarness::focusedName()
{
    settle();
    QQuickItem* item = m_window->activeFocusItem();
    QAccessibleInterface* a = item ? QAccessible::queryAccessibleInterface(item) : nullptr;
    return a ? a->text(QAccessible::Name) : QString();
}

void GuiHarness::key(int key, Qt::KeyboardModifiers modifiers)
{
    QTest::keyClick(m_window, Qt::Key(key), modifiers);
    settle();
}

QAccessibleInterface* GuiHarness::accessible(const QString& name)
{
    settle();
    return findAccessible(QAccessible::queryAccessibleInterface(m_window), name);
}

bool GuiHarness::press(const QString& name)
{
    QAccessibleInterface* element = accessible(name);
    if (!element || element->state().disabled || !element->actionInterface())
        return false;
    // A Qt Quick control's accessible state does not say it is disabled; the item does.
    if (const auto* item = qobject_cast<QQuickItem*>(element->object()); item && !item->isEnabled())
        return false;
    element->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    settle();
    return true;
}

bool GuiHarness::waitForText(const QString& text, std::chrono::milliseconds deadline)
{
    return waitUntil([&] { return showsText(text); }, deadline);
}

bool GuiHarness::waitForStep(MigrationStep step, std::chrono::milliseconds deadline)
{
    const bool reached = waitUntil([&] { return m_state->currentStep() == step; }, deadline);
    settle();
    return reached;
}

void GuiHarness::screenshot(const QString& name)
{
    static const QString folder = [] {
        const QString dir = qEnvironmentVariable("KIVO_SCREENSHOT_DIR", QDir::tempPath() + QStringLiteral("/kivo-screenshots"));
        QDir().mkpath(dir);
        std::printf("Screenshots: %s\n", qPrintable(dir));
        return dir;
    }();
    settle();
    m_window->grabWindow().save(folder + u'/' + name + QStringLiteral(".png"));
}

} // namespace kivo::test
