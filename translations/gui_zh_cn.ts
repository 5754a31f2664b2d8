<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>ConfigDialog</name>
    <message>
        <source>Configurations</source>
        <translation>配置</translation>
    </message>
    <message>
        <source>download mode:</source>
        <translation>烧录模式：</translation>
    </message>
    <message>
        <source>singleshot</source>
        <translation>单次</translation>
    </message>
    <message>
        <source>continuous</source>
        <translation>连续</translation>
    </message>
    <message>
        <source>baudrate:</source>
        <translation>波特率：</translation>
    </message>
    <message>
        <source>File Configurations</source>
        <translation>文件配置</translation>
    </message>
    <message>
        <source>Confirm</source>
        <translation>确认</translation>
    </message>
    <message>
        <source>Acceptable baudrate [%1].</source>
        <translation>波特率可用 [%1]。</translation>
    </message>
    <message>
        <source>Valid range is: [%1, %2]!!!</source>
        <translation>有效范围：[%1, %2]！！！</translation>
    </message>
</context>
<context>
    <name>ErrorCodes</name>
    <message>
        <source>Success</source>
        <translation>成功</translation>
    </message>
    <message>
        <source>Failed to pase cmd arguments.</source>
        <translation>命令参数解析失败。</translation>
    </message>
    <message>
        <source>Not all necessary arguments are provided.</source>
        <translation>未提供全部必要参数。</translation>
    </message>
    <message>
        <source>Invalid: erase mode must be set and can only be set to &apos;mass&apos; or &apos;userarea&apos;.</source>
        <translation>无效：必须设置擦除模式，且只能为 &apos;mass&apos; 或 &apos;userarea&apos;。</translation>
    </message>
    <message>
        <source>Invalid: port name must be set and exists.</source>
        <translation>无效：必须设置端口名，且端口必须存在。</translation>
    </message>
    <message>
        <source>Invalid: baudrate must be set and in range [%1, %2].</source>
        <translation>无效：必须设置波特率，且在 [%1, %2] 范围内。</translation>
    </message>
    <message>
        <source>Invalid: filename must exist and can only be set once.</source>
        <translation>无效：文件必须存在，且只能设置一次。</translation>
    </message>
    <message>
        <source>Invalid: start addr must not exceed the flash size, should be 4KB aligned and can only be set once.</source>
        <translation>无效：起始地址不得超出闪存大小，须按 4KB 对齐，且只能设置一次。</translation>
    </message>
    <message>
        <source>Failed to open serial port, maybe not exist or be occupied.</source>
        <translation>打开串口失败，端口可能不存在或已被占用。</translation>
    </message>
    <message>
        <source>Failed to send cmd &apos;version&apos;, please check USB connection or reboot the chip.</source>
        <translation>发送 &apos;version&apos; 命令失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Failed to read chip code version, please check USB connection or reboot the chip.</source>
        <translation>读取芯片代码版本失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Failed to send cmd &apos;download&apos;, please check USB connection or reboot the chip.</source>
        <translation>发送 &apos;download&apos; 命令失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Failed to send ramcode to chip, please check USB connection or reboot the chip.</source>
        <translation>向芯片下载 RAM 引导程序失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Failed to load ramcode file &apos;%1&apos;: it must exist, be readable, not be empty and not exceed 256 KiB.</source>
        <translation>加载 RAM 引导程序文件 &apos;%1&apos; 失败：文件必须存在、可读、非空且不超过 256 KiB。</translation>
    </message>
    <message>
        <source>Failed to send cmd &apos;filecount&apos;, please check USB connection or reboot the chip.</source>
        <translation>发送 &apos;filecount&apos; 命令失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Failed to read cmd &apos;filecount&apos; result, please check USB connection or reboot the chip.</source>
        <translation>读取 &apos;filecount&apos; 命令结果失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Failed to send cmd &apos;baudrate&apos;, please check USB connection or reboot the chip.</source>
        <translation>发送 &apos;baudrate&apos; 命令失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Failed to read cmd &apos;baudrate&apos; result, please check USB connection or reboot the chip.</source>
        <translation>读取 &apos;baudrate&apos; 命令结果失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Failed to send cmd &apos;startaddr&apos;, please check USB connection or reboot the chip.</source>
        <translation>发送 &apos;startaddr&apos; 命令失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Failed to read cmd &apos;startaddr&apos; result, please check USB connection or reboot the chip.</source>
        <translation>读取 &apos;startaddr&apos; 命令结果失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Failed to send cmd &apos;erase all&apos;, please check USB connection or reboot the chip.</source>
        <translation>发送 &apos;整片擦除&apos; 命令失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Failed to read cmd &apos;erase all&apos; result, please check USB connection or reboot the chip.</source>
        <translation>读取 &apos;整片擦除&apos; 命令结果失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Failed to send cmd &apos;upgrade&apos;, please check USB connection or reboot the chip.</source>
        <translation>发送 &apos;upgrade&apos; 命令失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Failed to send disk file, please check USB connection or reboot the chip.</source>
        <translation>烧录固件文件失败，请检查 USB 连接或重启芯片。</translation>
    </message>
    <message>
        <source>Unknown error.</source>
        <translation>未知错误。</translation>
    </message>
    <message>
        <source>built-in placeholder RAM loader: real chips need the vendor&apos;s loader (see README)</source>
        <translation>正在使用内置的占位 RAM 引导程序：真实芯片需要厂商提供的引导程序（见 README）</translation>
    </message>
    <message>
        <source>No permission to open %1: add the user to the group &apos;%2&apos; that owns it (sudo usermod -aG %2 $USER), then log in again.</source>
        <translation>无权打开 %1：请将当前用户加入该设备所属的用户组 &apos;%2&apos;（sudo usermod -aG %2 $USER），然后重新登录。</translation>
    </message>
</context>
<context>
    <name>FileCfgWidget</name>
    <message>
        <source>FileConfig</source>
        <translation>文件配置</translation>
    </message>
    <message>
        <source>filepath:</source>
        <translation>文件路径：</translation>
    </message>
    <message>
        <source>Select filepath</source>
        <translation>选择文件</translation>
    </message>
    <message>
        <source>startaddr:</source>
        <translation>起始地址：</translation>
    </message>
    <message>
        <source>hexadecimal format</source>
        <translation>十六进制格式</translation>
    </message>
    <message>
        <source>Clear</source>
        <translation>清除</translation>
    </message>
    <message>
        <source>Select *.bin file:</source>
        <translation>选择 *.bin 文件：</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>MainWindow</source>
        <translation>主窗口</translation>
    </message>
    <message>
        <source>Serial Port List</source>
        <translation>串口列表</translation>
    </message>
    <message>
        <source>serial port list</source>
        <translation>串口列表</translation>
    </message>
    <message>
        <source>Log</source>
        <translation>日志</translation>
    </message>
    <message>
        <source>Pass Count</source>
        <translation>通过计数</translation>
    </message>
    <message>
        <source>Fail Count</source>
        <translation>失败计数</translation>
    </message>
    <message>
        <source>mode</source>
        <translation>模式</translation>
    </message>
    <message>
        <source>singleshot</source>
        <translation>单次</translation>
    </message>
    <message>
        <source>Erase</source>
        <translation>擦除</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>开始</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>帮助</translation>
    </message>
    <message>
        <source>Edit</source>
        <translation>编辑</translation>
    </message>
    <message>
        <source>User Guide</source>
        <translation>使用说明</translation>
    </message>
    <message>
        <source>About Zodaruzizu</source>
        <translation>关于 Zodaruzizu</translation>
    </message>
    <message>
        <source>Clear Count</source>
        <translation>计数清零</translation>
    </message>
    <message>
        <source>Edit Configurations</source>
        <translation>编辑配置</translation>
    </message>
    <message>
        <source>RAM Loader Folder...</source>
        <translation>RAM 引导程序文件夹...</translation>
    </message>
    <message>
        <source>Use Built-in RAM Loaders</source>
        <translation>使用内置 RAM 引导程序</translation>
    </message>
    <message>
        <source>ZU-Dazazi-Zuvareridi</source>
        <translation>ZU-Dazazi-Zuvareridi</translation>
    </message>
    <message>
        <source>v1.9.13</source>
        <translation>v1.9.13</translation>
    </message>
    <message>
        <source>2022-03-03</source>
        <translation>2022-03-03</translation>
    </message>
    <message>
        <source>Enter</source>
        <translation>Enter</translation>
    </message>
    <message>
        <source>start download...</source>
        <translation>开始烧录...</translation>
    </message>
    <message>
        <source>!!!Warning!!!</source>
        <translation>！！！警告！！！</translation>
    </message>
    <message>
        <source>Are you sure to erase the entire chip???</source>
        <translation>确定要擦除整个芯片吗？？？</translation>
    </message>
    <message>
        <source>quit erase</source>
        <translation>已取消擦除</translation>
    </message>
    <message>
        <source>start erase...</source>
        <translation>开始擦除...</translation>
    </message>
    <message>
        <source>download failed, please replace another chip and retry.</source>
        <translation>烧录失败，请更换芯片后重试。</translation>
    </message>
    <message>
        <source>About</source>
        <translation>关于</translation>
    </message>
    <message>
        <source>Folder of the vendor&apos;s RAM loaders</source>
        <translation>厂商 RAM 引导程序所在文件夹</translation>
    </message>
    <message>
        <source>RAM loaders from %1</source>
        <translation>RAM 引导程序来自 %1</translation>
    </message>
    <message>
        <source>continuous</source>
        <translation>连续</translation>
    </message>
    <message>
        <source>Invalid Mode</source>
        <translation>无效模式</translation>
    </message>
    <message>
        <source>Please select some serial ports before work starts!!!</source>
        <translation>开始前请先选择并打开串口！！！</translation>
    </message>
    <message>
        <source>user config is invalid, check baudrate/filepath and startaddr in config dialog!!!</source>
        <translation>用户配置无效，请在配置对话框中检查波特率、文件路径和起始地址！！！</translation>
    </message>
    <message>
        <source>Invalid mode, please use **singleshot** or **continuous** mode!!!</source>
        <translation>模式无效，请使用 **单次** 或 **连续** 模式！！！</translation>
    </message>
    <message>
        <source>Production Record</source>
        <translation>生产记录</translation>
    </message>
    <message>
        <source>Production record: %1 - runs are kept in %2.</source>
        <translation>生产记录：%1 - 记录保存在 %2。</translation>
    </message>
    <message>
        <source>Records waiting for the server: %1</source>
        <translation>等待上传到服务器的记录：%1</translation>
    </message>
</context>
<context>
    <name>RecordForwarder</name>
    <message>
        <source>record server %1 takes records again</source>
        <translation>记录服务器 %1 已恢复接收记录</translation>
    </message>
    <message>
        <source>cannot read the local record %1: %2</source>
        <translation>无法读取本地记录 %1：%2</translation>
    </message>
    <message>
        <source>record server %1 does not take records (%2); they wait in %3</source>
        <translation>记录服务器 %1 不接收记录（%2）；记录暂存于 %3</translation>
    </message>
    <message>
        <source>cannot mark a delivered run in %1: %2</source>
        <translation>无法在 %1 中标记已上传的记录：%2</translation>
    </message>
</context>
<context>
    <name>RecordView</name>
    <message>
        <source>Production Record</source>
        <translation>生产记录</translation>
    </message>
    <message>
        <source>From (UTC day)</source>
        <translation>起始日期（UTC）</translation>
    </message>
    <message>
        <source>yyyy-MM-dd</source>
        <translation>yyyy-MM-dd</translation>
    </message>
    <message>
        <source>To</source>
        <translation>至</translation>
    </message>
    <message>
        <source>All runs</source>
        <translation>全部记录</translation>
    </message>
    <message>
        <source>Pass only</source>
        <translation>仅通过</translation>
    </message>
    <message>
        <source>Fail only</source>
        <translation>仅失败</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>刷新</translation>
    </message>
    <message>
        <source>Export CSV</source>
        <translation>导出 CSV</translation>
    </message>
    <message>
        <source>Yield per station</source>
        <translation>各工位良率</translation>
    </message>
    <message>
        <source>No run has been recorded yet in %1.</source>
        <translation>%1 中尚无记录。</translation>
    </message>
    <message>
        <source>Pass</source>
        <translation>通过</translation>
    </message>
    <message>
        <source>Fail</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>Started</source>
        <translation>开始时间</translation>
    </message>
    <message>
        <source>Station</source>
        <translation>工位</translation>
    </message>
    <message>
        <source>Port</source>
        <translation>端口</translation>
    </message>
    <message>
        <source>Family</source>
        <translation>芯片系列</translation>
    </message>
    <message>
        <source>Mode</source>
        <translation>模式</translation>
    </message>
    <message>
        <source>Result</source>
        <translation>结果</translation>
    </message>
    <message>
        <source>Code</source>
        <translation>代码</translation>
    </message>
    <message>
        <source>Images</source>
        <translation>镜像</translation>
    </message>
    <message>
        <source>Message</source>
        <translation>信息</translation>
    </message>
    <message>
        <source>Runs</source>
        <translation>次数</translation>
    </message>
    <message>
        <source>Passed</source>
        <translation>通过数</translation>
    </message>
    <message>
        <source>Failed</source>
        <translation>失败数</translation>
    </message>
    <message>
        <source>Pass rate</source>
        <translation>通过率</translation>
    </message>
    <message>
        <source>%1 run(s) in %2</source>
        <translation>%2 中共 %1 条记录</translation>
    </message>
    <message>
        <source>The latest %1 runs in %2</source>
        <translation>%2 中最近的 %1 条记录</translation>
    </message>
    <message>
        <source>Cannot write %1: %2</source>
        <translation>无法写入 %1：%2</translation>
    </message>
    <message>
        <source>%1 run(s) exported to %2</source>
        <translation>已导出 %1 条记录到 %2</translation>
    </message>
    <message>
        <source>CSV files (*.csv)</source>
        <translation>CSV 文件 (*.csv)</translation>
    </message>
</context>
<context>
    <name>SerialFlashWidget</name>
    <message>
        <source>SerialFlashWidget</source>
        <translation>串口烧录</translation>
    </message>
    <message>
        <source>Not Opened</source>
        <translation>未打开</translation>
    </message>
    <message>
        <source>serial port name.</source>
        <translation>串口名称。</translation>
    </message>
    <message>
        <source>Not Started</source>
        <translation>未开始</translation>
    </message>
    <message>
        <source>Downloading</source>
        <translation>烧录中</translation>
    </message>
    <message>
        <source>Erasing</source>
        <translation>擦除中</translation>
    </message>
    <message>
        <source>Pass</source>
        <translation>通过</translation>
    </message>
    <message>
        <source>Fail</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>Closed</source>
        <translation>已关闭</translation>
    </message>
    <message>
        <source>Opened</source>
        <translation>已打开</translation>
    </message>
    <message>
        <source>open failed, check if port has been opened by another application.</source>
        <translation>打开失败，请检查端口是否已被其他程序占用。</translation>
    </message>
</context>
</TS>
