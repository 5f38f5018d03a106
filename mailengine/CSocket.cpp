#include "CSocket.h"
// (implementation pending)
struct CSocket::Impl {};
CSocket::CSocket(QObject* parent) : QObject(parent) {}
CSocket::~CSocket() = default;
