#pragma once

#include <QString>
#include <QWidget>


namespace velmo {

class StepRow : public QWidget {
    Q_OBJECT
public:
    StepRow(long long number, const QString& text, QWidget* parent = nullptr);
};

}  // namespace velmo
