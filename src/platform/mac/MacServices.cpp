#include "platform/mac/MacServices.h"

#include "platform/mac/Keychain.h"
#include "platform/mac/LocalAccounts.h"
#include "platform/mac/ProxyConfig.h"

namespace tarvo::platform {

void MacSystemProxy::apply(const ProxyEndpoint& proxy, const std::vector<uid_t>&) {
    ProxyConfig::applyAll(proxy.host, proxy.port);
}

void MacSystemProxy::clear() {
    ProxyConfig::clearAll();
}

ProxyReport MacSystemProxy::report() {
    return {"network proxy services:", ProxyConfig::networkServices()};
}

bool MacCertificateTrust::isTrusted() {
    return Keychain::isRootCertInstalled();
}

bool MacCertificateTrust::trust(const std::string& path, std::ostream& err) {
    return Keychain::installRootCert(path, err);
}

bool MacCertificateTrust::remove() {
    return Keychain::removeRootCert();
}

std::vector<LocalUserAccount> MacAccountDirectory::peopleAccounts(const std::string& currentUser) {
    return LocalAccounts::enumerateRealUsers(currentUser);
}

std::vector<std::string> MacAccountDirectory::administrators() {
    return LocalAccounts::admins();
}

}  // namespace tarvo::platform
