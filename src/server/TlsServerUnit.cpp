#include "server/TlsServerUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"
#include "server/SysOptionUnit.h"

#include <filesystem>

TTlsServerConnection::TTlsServerConnection(TServerConnection& plain, const TTlsContext& context)
    : m_plain(plain), m_channel(plain), m_session(context, m_channel) {}

bool TTlsServerConnection::Accept() {
    return m_session.Accept();
}

void TTlsServerConnection::Close() {
    m_session.Shutdown();
}

long TTlsServerConnection::ReceiveBytes(char* data, size_t size) {
    return m_session.Receive(data, size);
}

bool TTlsServerConnection::SendBytes(const char* data, size_t size) {
    m_channel.m_answering = true;
    return m_session.Send(data, size);
}

std::string TTlsServerConnection::ClientSubject() const {
    return Utf8ToGbk(m_session.PeerSubject());
}

TRequestOrigin TTlsServerConnection::Origin() const {
    TRequestOrigin origin = m_plain.Origin();
    origin.Subject = ClientSubject();
    return origin;
}

std::string TlsRefusedLine(TIpv4 peer, const std::string& reason) {
    // The reason is OpenSSL's text, ASCII; escaped all the same, as it ends up in the log.
    return Gbk("拒绝来自 ") + Ipv4Text(peer) + Gbk(" 的连接（TLS：") + EscapeControlCharacters(reason) +
           Gbk("）");
}

std::string TlsWithoutClientCALine() {
    return Gbk("警告：TLS 已启用但未设置 TlsClientCA，任何能连到端口的计算机都可以请求制卡；"
               "请在 [SysOption] 中设置 TlsClientCA");
}

void TTlsListener::Serve(TServerConnection& plain, TIpv4 peer, const TTcpServer::TExecute& execute) {
    TTlsServerConnection secured(plain, *m_context);
    if (!secured.Accept()) {
        bool log;
        {
            std::lock_guard lock(m_mutex);
            log = m_refusedLog.Allow(peer, TLogThrottle::TClock::now());
        }
        if (log)
            WriteLog(TlsRefusedLine(peer, secured.Error()));
        return;
    }
    if (execute)
        execute(secured);
    secured.Close();
}

namespace {

std::string ProgramFile(const TSysOption& option, const std::string& setting) {
    const std::string name = Trim(setting);
    if (name.empty())
        return name;
    const std::filesystem::path path = FileSystemPath(name);
    if (path.is_absolute() || path.has_root_path())
        return name;
    return FileNameOf(FileSystemPath(option.FileName).parent_path() / path);
}

} // namespace

TTcpServer::TConnectionLayer TlsLayerFor(const TSysOption& option, TInfoList& infoList) {
    const std::string certificate = ProgramFile(option, option.TlsCertificate);
    const std::string key = ProgramFile(option, option.TlsPrivateKey);
    const std::string clientCA = ProgramFile(option, option.TlsClientCA);
    if (certificate.empty()) {
        // A CA alone would look like protection and give none.
        if (!clientCA.empty() || !key.empty())
            throw Exception("TlsClientCA and TlsPrivateKey need TlsCertificate (TlsCertificate)");
        return {};
    }
    if (key.empty())
        throw Exception("TlsCertificate needs the file of its private key (TlsPrivateKey)");
    auto listener = std::make_shared<TTlsListener>(TTlsContext::ForServer(certificate, key, clientCA));
    if (clientCA.empty()) {
        const std::string line = TlsWithoutClientCALine();
        WriteLog(line);
        infoList.AppendLine(line);
    }
    return [listener](TServerConnection& plain, TIpv4 peer, const TTcpServer::TExecute& execute) {
        listener->Serve(plain, peer, execute);
    };
}
