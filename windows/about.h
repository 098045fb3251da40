#pragma once
// The About window: name and version, credit and the adapter's distributor.

#include <QDialog>
#include <memory>

namespace Ui {
class About;
}

namespace tavrel {

class About final : public QDialog {
    Q_OBJECT
public:
    explicit About(QWidget *parent = nullptr);
    ~About() override;

private:
    std::unique_ptr<Ui::About> ui;
};

} // namespace tavrel
