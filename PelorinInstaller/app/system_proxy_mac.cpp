#include "app/SystemProxy.hpp"

// CFNetwork through Qt Network: the network settings, their exceptions and PAC.

#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QUrl>

namespace PelorinInstaller {

Proxy systemProxy(const std::string& url) {
  const auto found = QNetworkProxyFactory::systemProxyForQuery(
      QNetworkProxyQuery(QUrl(QString::fromStdString(url))));
  // The system's choice comes first; Qt appends "no proxy" as a last resort, which a network
  // that only lets a proxy out would not honour anyway.
  if (found.isEmpty()) return {};
  const QNetworkProxy& first = found.first();
  Proxy proxy;
  switch (first.type()) {
    case QNetworkProxy::HttpProxy:
      proxy.kind = Proxy::Kind::http;
      break;
    case QNetworkProxy::Socks5Proxy:
      proxy.kind = Proxy::Kind::socks5;
      break;
    case QNetworkProxy::NoProxy:
      return {};
    default:  // one that cannot tunnel (a caching HTTP or FTP proxy): not to be gone around
      return {.kind = Proxy::Kind::unusable};
  }
  proxy.host = first.hostName().toStdString();
  proxy.port = first.port();
  proxy.user = first.user().toStdString();
  proxy.password = first.password().toStdString();
  return proxy;
}

}  // namespace PelorinInstaller
