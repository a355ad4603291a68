#include "server/TlsServerUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"
#include "server/SysOptionUnit.h"

#include <filesystem>

std::string TlsRefusedLine(TIpv4 peer, const std::string& reason) {
    // The reason is OpenSSL's text, ASCII; escaped all the same, as it ends up in the log.
    return Gbk("拒绝来自 ") + Ipv4Text(peer) + Gbk(" 的连接（TLS：") + EscapeControlCharacters(reason) +
           Gbk("）");
}

std::string TlsWithoutClientCALine() {
    return Gbk("警告：TLS 已启用但未设置 TlsClientCA，任何能连到端口的计算机都可以请求制卡；"
               "请在 [SysOption] 中设置 TlsClientCA");
}

std::string TlsStartLine(const TTlsContext& context) {
    const TTlsCertificateInfo& host = context.Certificate();
    return Gbk("TLS 已启用：主机证书 ") + Utf8ToGbk(host.Subject) + Gbk("，有效期至 ") +
           FormatDateTime("yyyy-mm-dd", host.NotAfter) +
           Gbk(context.RequiresClientCertificate() ? "；客户端必须出示 TlsClientCA 签发的证书"
                                                   : "；客户端无须出示证书");
}

namespace {

// The warning on one certificate at now; empty when it is valid for longer than the warning time.
std::string CertificateWarning(const TTlsCertificateInfo& info, const char* what, const char* refused,
                               TDateTime now) {
    const std::string named = Gbk("警告：") + Gbk(what) + Utf8ToGbk(info.Subject);
    const std::string until = FormatDateTime("yyyy-mm-dd hh:nn", info.NotAfter);
    switch (CertificateTimeAt(info, now, CertificateWarningDays)) {
    case TCertificateTime::Expired:
        return named + Gbk(" 已于 ") + until + Gbk(" 过期，") + Gbk(refused) + Gbk("；请更换证书");
    case TCertificateTime::NotYetValid:
        return named + Gbk(" 尚未生效（自 ") + FormatDateTime("yyyy-mm-dd hh:nn", info.NotBefore) +
               Gbk(" 起有效），") + Gbk(refused) + Gbk("；请检查本机时钟或更换证书");
    case TCertificateTime::ExpiresSoon:
        return named + Gbk(" 将于 ") + until + Gbk(" 过期；请及时更换证书");
    case TCertificateTime::Valid:
        break;
    }
    return {};
}

} // namespace

std::vector<std::string> TlsCertificateWarnings(const TTlsContext& context, TDateTime now) {
    std::vector<std::string> warnings;
    auto add = [&](std::string warning) {
        if (!warning.empty())
            warnings.push_back(std::move(warning));
    };
    add(CertificateWarning(context.Certificate(), "主机证书（TlsCertificate）", "客户端将拒绝连接", now));
    for (const TTlsCertificateInfo& ca : context.CACertificates())
        add(CertificateWarning(ca, "客户端 CA 证书（TlsClientCA）", "它签发的客户端证书将被拒绝", now));
    return warnings;
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

TTlsLayer TlsLayerFor(const TSysOption& option, TInfoList& infoList, TDateTime now) {
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
    std::shared_ptr<const TTlsContext> context = TTlsContext::ForServer(certificate, key, clientCA);
    std::vector<std::string> lines{TlsStartLine(*context)};
    for (std::string& warning : TlsCertificateWarnings(*context, now))
        lines.push_back(std::move(warning));
    if (clientCA.empty())
        lines.push_back(TlsWithoutClientCALine());
    for (const std::string& line : lines) {
        WriteLog(line);
        infoList.AppendLine(line);
    }
    return {std::move(context)};
}
