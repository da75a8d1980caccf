<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>Localizable</name>
    <message>
        <source>title</source>
        <translation>Pelorin Code 安装器</translation>
    </message>
    <message>
        <source>quit</source>
        <translation>退出 Pelorin Code 安装器</translation>
    </message>
    <message>
        <source>install</source>
        <translation>安装</translation>
    </message>
    <message>
        <source>cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>preparing</source>
        <translation>正在准备…</translation>
    </message>
    <message>
        <source>downloading</source>
        <translation>正在下载…</translation>
    </message>
    <message>
        <source>verifying</source>
        <translation>正在验证…</translation>
    </message>
    <message>
        <source>installing</source>
        <translation>正在安装…</translation>
    </message>
    <message>
        <source>complete</source>
        <translation>Pelorin Code 已安装。</translation>
    </message>
    <message>
        <source>open</source>
        <translation>打开 Pelorin Code</translation>
    </message>
    <message>
        <source>openFailed</source>
        <translation>无法打开 Pelorin Code。请从它所在的“应用程序”文件夹中打开它。</translation>
    </message>
    <message>
        <source>retry</source>
        <translation>重试</translation>
    </message>
    <message>
        <source>error.invalidManifest</source>
        <translation>服务器提供的版本信息无效。</translation>
    </message>
    <message>
        <source>error.invalidURL</source>
        <translation>下载地址不是 Pelorin 的分发服务器。</translation>
    </message>
    <message>
        <source>error.unsupportedSystem</source>
        <translation>此版本需要更新的操作系统版本。</translation>
    </message>
    <message>
        <source>error.invalidResponse</source>
        <translation>服务器返回了无法使用的响应。</translation>
    </message>
    <message>
        <source>error.damagedDownload</source>
        <translation>下载的文件已损坏，请重试以重新下载。</translation>
    </message>
    <message>
        <source>error.wrongApplication</source>
        <translation>找到的应用程序不是 Pelorin Code。</translation>
    </message>
    <message>
        <source>error.downgrade</source>
        <translation>已安装更新版本的 Pelorin Code。</translation>
    </message>
    <message>
        <source>error.appRunning</source>
        <translation>Pelorin Code 正在运行。请先退出，然后重试。</translation>
    </message>
    <message>
        <source>error.installConflict</source>
        <translation>无法将 Pelorin Code 放置到位。</translation>
    </message>
    <message>
        <source>error.noSpace</source>
        <translation>磁盘可用空间不足。</translation>
    </message>
    <message>
        <source>error.busy</source>
        <translation>另一个安装正在进行。</translation>
    </message>
    <message>
        <source>error.cancelled</source>
        <translation>安装已取消。</translation>
    </message>
    <message>
        <source>error.network</source>
        <translation>下载失败。请检查网络连接，然后重试。</translation>
    </message>
    <message>
        <source>error.permission</source>
        <translation>安装器无权访问所需的文件或文件夹。请检查权限，然后重试。</translation>
    </message>
    <message>
        <source>error.verification</source>
        <translation>无法验证该应用程序。</translation>
    </message>
    <message>
        <source>error.generic</source>
        <translation>安装失败。</translation>
    </message>
    <message>
        <source>working</source>
        <translation>正在安装 Pelorin Code。</translation>
    </message>
    <message>
        <source>workingDetail</source>
        <translation>请取消安装或等待安装完成，然后再退出。</translation>
    </message>
    <message>
        <source>continue</source>
        <translation>继续</translation>
    </message>
</context>
</TS>
