#include "ui/urlclicklabel.h"

#include <QDebug>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget *parent) : QLabel(parent) {}

void UrlClickLabel::setUrl(const QString &url)
{
    m_url = url;
}

bool UrlClickLabel::isOpenable(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

void UrlClickLabel::mousePressEvent(QMouseEvent *event)
{
    const QUrl url(m_url, QUrl::TolerantMode);
    if (isOpenable(url))
        QDesktopServices::openUrl(url);
    else
        qDebug() << "Not opening link" << m_url;
    event->accept();
}
