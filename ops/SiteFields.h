#pragma once
// What the site dialog collects. Text is UTF-8 as the user typed it; the document converts it
// to the narrow encoding when it stores it in a site.

#include "model/SiteSettings.h"

#include <cstdint>
#include <string>

struct SiteFields {
    std::string host;
    std::string user;     // ignored when `anonymous` is set
    std::string password; // ignored when `anonymous` is set
    std::string nickname;
    std::string remark;
    int32_t port = 21;
    bool anonymous = false;       // "匿名": log in as anonymous with the anonymous password
    bool anonymousUpdate = false; // "是否匿名更新站点内容"
    NameEncodingChoice encoding = NameEncodingChoice::Auto; // how the server's names are read
    int connections = kDefaultSiteConnections;              // "同时连接数:" in site.conf
    SiteProtocol protocol = SiteProtocol::Ftp;              // "协议:" in site.conf
};
