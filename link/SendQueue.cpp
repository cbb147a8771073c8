#include "SendQueue.h"

#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif

qint64 SendQueue::heldBackBytes(const QTcpSocket *socket)
{
    const qint64 inQt = socket->bytesToWrite();
#ifdef Q_OS_LINUX
    const int fd = int(socket->socketDescriptor());
    tcp_info info = {};
    socklen_t size = sizeof info;
    int unsent = 0;
    if (fd == -1 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0
        || ::ioctl(fd, SIOCOUTQNSD, &unsent) != 0)
        return inQt;
    // Nothing in flight: the window is closed. Resending on a timeout: the
    // peer does not take what is in flight (it dropped it, or is gone).
    const bool stalled = info.tcpi_unacked == 0 || info.tcpi_retransmits > 0;
    if (stalled)
        return inQt + unsent;
#endif
    return inQt;
}
