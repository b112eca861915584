#include "upload/UploadSession.h"

#include "upload/FtpSession.h"
#include "upload/SftpSession.h"

#include <cctype>

UploadProtocol ProtocolOfAddress(const std::string& address)
{
    if (address.size() < 7)
        return UploadProtocol::Ftp;
    std::string prefix = address.substr(0, 7);
    for (char& c : prefix)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return prefix == "sftp://" ? UploadProtocol::Sftp : UploadProtocol::Ftp;
}

std::unique_ptr<UploadSession> MakeUploadSession(const std::string& address)
{
    if (ProtocolOfAddress(address) == UploadProtocol::Sftp)
        return std::make_unique<SftpSession>();
    return std::make_unique<FtpSession>();
}
