#include "form2.h"

#include "app/messagebox.h"
#include "app/windowservices.h"
#include "twips.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QIcon>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QValidator>

namespace {

// A TAB, CR or LF in the name would shift every field of set.txt and of every datagram.
class NameValidator : public QValidator
{
public:
    using QValidator::QValidator;

    State validate(QString &input, int &) const override
    {
        for (QChar c : std::as_const(input)) {
            if (c == QLatin1Char('\t') || c == QLatin1Char('\r') || c == QLatin1Char('\n'))
                return Invalid;
        }
        // A length limit can cut an emoji in half; half of one is no character.
        for (qsizetype i = 0; i < input.size(); ++i) {
            const QChar c = input.at(i);
            if (c.isHighSurrogate() && i + 1 < input.size() && input.at(i + 1).isLowSurrogate())
                ++i;
            else if (c.isSurrogate())
                return Invalid;
        }
        return Acceptable;
    }
};

QLabel *addLabel(QWidget *parent, const QString &name, const QString &text, QRect twips)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setGeometry(Twips::rect(twips.x(), twips.y(), twips.width(), twips.height()));
    return label;
}

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// The box takes the text whole, however long; typing may not make it longer than the limit, or
// longer than it already is. QLineEdit's own limit would cut the loaded text too.
void limitTyping(QLineEdit *box, int limit, const QString &text)
{
    box->setMaxLength(std::max<int>(limit, int(text.size())));
    box->setText(text);
    QObject::connect(box, &QLineEdit::textChanged, box, [box, limit](const QString &now) {
        box->setMaxLength(std::max<int>(limit, int(now.size())));
    });
}

} // namespace

namespace KeyFilter {

bool maskAccepts(const QString &currentText, QChar key, bool backspace)
{
    if (backspace)
        return true;
    if (!isDigit(key) && key != QLatin1Char('.'))
        return false;
    if (key == QLatin1Char('.') && currentText.split(QLatin1Char('.')).size() == 4)
        return false;
    return true;
}

bool portAccepts(QChar key, bool backspace)
{
    return !backspace && isDigit(key);
}

bool maskAcceptsCommit(QString currentText, const QString &commit)
{
    for (QChar c : commit) {
        if (!maskAccepts(currentText, c, false))
            return false;
        currentText += c;
    }
    return true;
}

bool portAcceptsCommit(const QString &commit)
{
    return std::all_of(commit.begin(), commit.end(), [](QChar c) { return portAccepts(c, false); });
}

} // namespace KeyFilter

Form2::Form2(const SettingsRecord &record, SettingsChange::Apply apply, MessageBox &messages, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      m_apply(std::move(apply)), m_messages(messages)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("設定"));
    setFixedSize(Twips::toPixels(3105), Twips::toPixels(3795));
    setModal(true);
    // Set, even empty, it stops the main window's icon being inherited.
    setWindowIcon(QIcon());

    addLabel(this, QStringLiteral("Label1_0"), QStringLiteral("参加名設定"), {60, 90, 900, 180});
    m_text1 = new QLineEdit(this);
    m_text1->setObjectName(QStringLiteral("Text1"));
    m_text1->setAccessibleName(QStringLiteral("参加名"));
    m_text1->setGeometry(Twips::rect(420, 300, 1755, 315));
    m_text1->setValidator(new NameValidator(m_text1));
    limitTyping(m_text1, 10, record.userName);

    m_check3 = new QCheckBox(QStringLiteral("Only受信でお知らせ"), this);
    m_check3->setObjectName(QStringLiteral("Check3"));
    m_check3->setGeometry(Twips::rect(150, 780, 2535, 225));
    // 2 is the grey third state of a Windows check box; it is shown and kept until the user
    // clicks, and from the first click the box has two states again.
    if (record.onlyNotify == 2) {
        m_check3->setTristate(true);
        m_check3->setCheckState(Qt::PartiallyChecked);
        connect(m_check3, &QCheckBox::clicked, m_check3, [this] { m_check3->setTristate(false); });
    } else {
        m_check3->setChecked(record.onlyNotify == 1);
    }

    addLabel(this, QStringLiteral("Label2"), QStringLiteral("ポート番号(標準10000)"), {120, 1140, 1785, 225});
    m_text3 = new QLineEdit(this);
    m_text3->setObjectName(QStringLiteral("Text3"));
    m_text3->setAccessibleName(QStringLiteral("ポート番号"));
    m_text3->setGeometry(Twips::rect(1980, 1110, 615, 255));
    limitTyping(m_text3, 5, record.chatPort);
    m_text3->installEventFilter(this);

    addLabel(this, QStringLiteral("Label1_1"), QStringLiteral("サブネットマスク(例）：255.255.255.0"),
             {150, 1560, 2955, 180});
    m_text2 = new QLineEdit(record.subnetMask, this);
    m_text2->setObjectName(QStringLiteral("Text2"));
    m_text2->setAccessibleName(QStringLiteral("サブネットマスク"));
    m_text2->setGeometry(Twips::rect(630, 1800, 1545, 285));
    m_text2->installEventFilter(this);
    // Digits boxes: a Japanese input method left on would compose full-width digits or kana.
    for (QLineEdit *digits : {m_text2, m_text3}) {
        digits->setAttribute(Qt::WA_InputMethodEnabled, false);
        digits->setInputMethodHints(Qt::ImhPreferNumbers | Qt::ImhNoPredictiveText);
    }

    QLabel *hint = addLabel(this, QStringLiteral("Label3"),
                            QStringLiteral("もし送受信できない場合は(255.255.0.0)等を指定してみてください。"
                                           "それでも駄目な場合にはコマンドプロンプトを開きIPCONFIGでご自身の"
                                           "ネットワーク環境をご確認ください"),
                            {60, 2130, 3015, 1065});
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette red = hint->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    hint->setPalette(red);

    m_command1 = new QPushButton(QStringLiteral("Ok"), this);
    m_command1->setObjectName(QStringLiteral("Command1"));
    m_command1->setGeometry(Twips::rect(750, 3300, 585, 315));
    m_command2 = new QPushButton(QStringLiteral("No"), this);
    m_command2->setObjectName(QStringLiteral("Command2"));
    m_command2->setGeometry(Twips::rect(1560, 3300, 585, 315));
    // Neither button reacts to Enter.
    m_command1->setAutoDefault(false);
    m_command2->setAutoDefault(false);

    setTabOrder(m_text1, m_command1);
    setTabOrder(m_command1, m_command2);
    setTabOrder(m_command2, m_text2);
    setTabOrder(m_text2, m_check3);
    setTabOrder(m_check3, m_text3);
    m_text1->setFocus();

    // Centred on the screen, not over the main window; refined once the frame is known.
    centreOnScreen(QMargins());

    connect(m_command1, &QPushButton::clicked, this, &Form2::ok);
    connect(m_command2, &QPushButton::clicked, this, &QDialog::reject);
}

bool Form2::eventFilter(QObject *watched, QEvent *event)
{
    // Text committed by an input method (full-width digits, kana) arrives without a key press.
    if (event->type() == QEvent::InputMethod && (watched == m_text2 || watched == m_text3)) {
        const auto *input = static_cast<QInputMethodEvent *>(event);
        const QString current = static_cast<QLineEdit *>(watched)->text();
        const bool accepted = watched == m_text2
                                  ? KeyFilter::maskAcceptsCommit(current, input->commitString())
                                  : KeyFilter::portAcceptsCommit(input->commitString());
        if (!accepted || input->replacementLength() != 0)
            return true;
    }
    if (event->type() == QEvent::KeyPress && (watched == m_text2 || watched == m_text3)) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const bool backspace = key->key() == Qt::Key_Backspace;
        const QString text = key->text();
        // Only character keys are filtered; Delete, arrows and shortcuts such as Ctrl+V pass.
        const bool characterKey = backspace || (!text.isEmpty() && text.at(0).isPrint() &&
                                                !(key->modifiers() & Qt::ControlModifier));
        if (characterKey) {
            const QChar typed = text.isEmpty() ? QChar() : text.at(0);
            const bool accepted = watched == m_text2
                                      ? KeyFilter::maskAccepts(m_text2->text(), typed, backspace)
                                      : KeyFilter::portAccepts(typed, backspace);
            if (!accepted)
                return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void Form2::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    whenFrameKnown(this, [this](QMargins frame) { centreOnScreen(frame); });
}

// The outer rectangle, frame included, goes to the middle of the screen.
void Form2::centreOnScreen(QMargins frame)
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QSize outer = size().grownBy(frame);
    move(screen->availableGeometry().center() - QPoint(outer.width() / 2, outer.height() / 2));
}

void Form2::keyPressEvent(QKeyEvent *event)
{
    // Esc does not close the dialog: only No and the close box do.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void Form2::ok()
{
    SettingsChange::Values values{m_text1->text(), m_text2->text(), m_text3->text(), std::nullopt};
    if (m_check3->checkState() != Qt::PartiallyChecked)
        values.onlyNotify = m_check3->isChecked() ? 1 : 0;
    const SettingsChange::Outcome outcome = m_apply(values);
    if (outcome.refused != SettingsChange::Outcome::Refused::Nothing) {
        m_messages.critical(this, QStringLiteral("設定"), outcome.message);
        (outcome.refused == SettingsChange::Outcome::Refused::SubnetMask ? m_text2 : m_text3)->setFocus();
        return;
    }
    if (outcome.saveError)
        m_messages.critical(this, QStringLiteral("設定の保存"), *outcome.saveError);
    if (outcome.mustEnd) {
        m_portChanged = true;
        m_messages.critical(this, QStringLiteral("ポート変更"), outcome.message);
    }
    accept();
}
