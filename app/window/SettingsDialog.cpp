#include "app/window/SettingsDialog.h"

#include <QLocale>
#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include "app/window/Skin.h"

namespace kf::app::window {
namespace {

// 0 stands for "no limit" and is shown as such.
constexpr int kNoLimit = 0;
// Wide enough that typed out-of-range values (9, 30001) stay in the edit for the check to see;
// five digits like the edit of old.
constexpr int kTypedMax = 99999;

// The arrows keep to the allowed range; only typing can leave it.
class LimitBox final : public QSpinBox {
  public:
    using QSpinBox::QSpinBox;

    void stepBy(int steps) override {
        setValue(std::clamp(value() + steps * singleStep(), SettingsDialog::kMinLimit,
                            SettingsDialog::kMaxLimit));
    }

  protected:
    StepEnabled stepEnabled() const override {
        StepEnabled enabled = StepNone;
        if (isEnabled() && value() < SettingsDialog::kMaxLimit) {
            enabled |= StepUpEnabled;
        }
        if (isEnabled() && value() > SettingsDialog::kMinLimit) {
            enabled |= StepDownEnabled;
        }
        return enabled;
    }
};

// A limit as typed: decimal digits only, at most 9 of them (no overflow); anything else is none.
std::optional<int32_t> ParseLimit(std::string_view text) {
    if (text.empty() || text.size() > 9) {
        return std::nullopt;
    }
    int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

SettingsDialog::SettingsDialog(int32_t speed_limit, bool auto_shutdown, bool p2p, QWidget* parent)
    : QDialog(parent),
      speed_group_(QStringLiteral("速度设置"), this),
      speed_layout_(&speed_group_),
      advanced_group_(QStringLiteral("高级设置"), this),
      advanced_layout_(&advanced_group_),
      layout_(this),
      limit_on_(QStringLiteral("下载速度限制:")),
      limit_(std::make_unique<LimitBox>()),
      unit_(QStringLiteral("KB/s")),
      shutdown_(QStringLiteral("下载完成后关机")),
      p2p_(QStringLiteral("启用P2P")),
      set_(QStringLiteral("设置")),
      cancel_(QStringLiteral("取消")),
      warning_(QMessageBox::Warning, QStringLiteral("警告"),
               QStringLiteral("您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！"),
               QMessageBox::Ok, this),
      speed_limit_(speed_limit) {
    setWindowTitle(QStringLiteral("下载设置"));
    setFont(Skin::Font(12));
    limit_on_.setObjectName(QStringLiteral("limit_on"));
    limit_->setObjectName(QStringLiteral("limit"));
    shutdown_.setObjectName(QStringLiteral("shutdown"));
    p2p_.setObjectName(QStringLiteral("p2p"));
    set_.setObjectName(QStringLiteral("set"));
    cancel_.setObjectName(QStringLiteral("cancel"));
    warning_.setObjectName(QStringLiteral("warning"));

    limit_->setLocale(QLocale::c());
    limit_->setRange(kNoLimit, kTypedMax);
    limit_->setSpecialValueText(QStringLiteral("无限制"));
    limit_->setMinimumWidth(90);
    speed_layout_.addWidget(&limit_on_, 0, 0);
    speed_layout_.addWidget(limit_.get(), 0, 1);
    speed_layout_.addWidget(&unit_, 0, 2);
    advanced_layout_.addWidget(&shutdown_);
    advanced_layout_.addWidget(&p2p_);
    p2p_.hide();
    layout_.addWidget(&speed_group_, 0, 0, 1, 2);
    layout_.addWidget(&advanced_group_, 1, 0, 1, 2);
    layout_.addWidget(&set_, 2, 0, Qt::AlignRight);
    layout_.addWidget(&cancel_, 2, 1, Qt::AlignLeft);
    layout_.setSizeConstraint(QLayout::SetFixedSize);
    set_.setDefault(true);

    const bool limited = speed_limit > 0;
    limit_on_.setChecked(limited);
    limit_->setEnabled(limited);
    limit_->setValue(limited ? std::min(speed_limit, kTypedMax) : kNoLimit);
    shutdown_.setChecked(auto_shutdown);
    p2p_.setChecked(p2p);

    connect(&limit_on_, &QCheckBox::toggled, this, &SettingsDialog::OnLimitSwitched);
    connect(&set_, &QPushButton::clicked, this, &SettingsDialog::OnSet);
    connect(&cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void SettingsDialog::OnLimitSwitched(bool on) {
    limit_->setEnabled(on);
    limit_->setValue(on ? kSwitchedOnLimit : kNoLimit);
}

void SettingsDialog::OnSet() {
    int32_t limit = kNoLimit;
    if (limit_on_.isChecked()) {
        const std::string typed = limit_->cleanText().toStdString();
        const std::optional<int32_t> value = ParseLimit(typed);
        if (!value || *value < kMinLimit || *value > kMaxLimit) {
            warning_.open();
            return;
        }
        limit = *value;
    }
    speed_limit_ = limit;
    accept();
}

}  // namespace kf::app::window
