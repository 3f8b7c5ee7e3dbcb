#include "core/config_store.h"

#include "core/cp932.h"

QV_CONFIGSTORE::QV_CONFIGSTORE()
{
    for (int k = 0; k < kServiceCount; ++k) {
        enabled[k] = 1;
        forwardHosts[k] = "127.0.0.1";
        forwardPorts[k] = getDefaultServicePort(k);
        localPorts[k] = getDefaultServicePort(k);
    }
}

int QV_CONFIGSTORE::isServiceEnabled(int k) { return valid(k) ? enabled[k] : 0; }

void QV_CONFIGSTORE::setServiceEnabled(int k, int value)
{
    if (valid(k))
        enabled[k] = value;
}

int QV_CONFIGSTORE::getServicePort(int k) { return valid(k) ? localPorts[k] : -1; }

void QV_CONFIGSTORE::setServicePort(int k, int port)
{
    if (valid(k))
        localPorts[k] = port;
}

const char* QV_CONFIGSTORE::getForwardHost(int k) { return valid(k) ? forwardHosts[k].c_str() : "127.0.0.1"; }

void QV_CONFIGSTORE::setForwardHost(int k, const char* host)
{
    if (valid(k))
        forwardHosts[k] = cutToCp932Bytes(host ? host : "", kMaxSettingText);
}

int QV_CONFIGSTORE::getForwardPort(int k) { return valid(k) ? forwardPorts[k] : getDefaultServicePort(k); }

void QV_CONFIGSTORE::setForwardPort(int k, int port)
{
    if (valid(k))
        forwardPorts[k] = port;
}

void QV_CONFIGSTORE::setAutoConnectUser(const char* user)
{
    autoConnectUser = cutToCp932Bytes(user ? user : "", kMaxSettingText);
}

void QV_CONFIGSTORE::setListenAddress(const char* address)
{
    listenAddress = cutToCp932Bytes(address ? address : "", kMaxSettingText);
}
