#pragma once

#include <QLabel>
#include <QString>

// A label that opens its web link in the desktop's browser when clicked.
class UrlClickLabel : public QLabel
{
    Q_OBJECT
public:
    explicit UrlClickLabel(QWidget *parent = nullptr);

    void setUrl(const QString &url);
    QString url() const { return m_url; }

    // Only web links are handed to the desktop: the banner's link comes from a
    // server and must not start local programs or open local files.
    static bool isOpenable(const QUrl &url);

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    QString m_url;
};
