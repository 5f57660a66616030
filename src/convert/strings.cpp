#include "convert/strings.h"

namespace tonvell {

std::string_view loadString(int id) {
  switch (id) {
    case 101: return "Tonvell 版本信息(&A)...";
    case 102: return "宋体";
    case 103: return "请选择输出文件夹";
    case 104: return "请选择要转换的 MIDI 文件";
    case 105: return "找不到文件\r\n";
    case 106: return "无法保证转换的内存\r\n";
    case 107: return "--------------------------------------------------------------------------------\r\n";
    case 108: return "转换成功\r\n";
    case 109: return "不是 MIDI 文件\r\n";
    case 111: return "heddachanku 的时间单位，只与 delta 时间 对应\r\n";
    case 114: return "打不开输出文件\r\n";
    case 115: return "无法处理以格式 1 以外的形式保存的 MIDI 文件\r\n";
    case 116: return "STAT";
    case 117: return "TITLESW";
    case 118: return "MASTERVOLSW";
    case 119: return "COPYRIGHTSW";
    case 120: return "SMFCOPYRIGHTSW";
    case 121: return "SMFSEQNAMESW";
    case 122: return "LOOPSW";
    case 123: return "COPYDATASW";
    case 124: return "TITLE";
    case 125: return "OUTPUTFOLDER";
    case 126: return "COPYRIGHT";
    case 130: return "MASTERVOL";
    case 131: return "FORMAT0SW";
    case 140: return "文件读取失败，无法读入全部数据\r\n";
    case 141: return "标题或版权文字过长，MFi 文件头容纳不下\r\n";
    case 142: return "写入输出文件失败，未保存\r\n";
    case 143: return "     ※标题或版权中含有 GBK 无法表示的字符，已替换为“?”\n";
    case 144: return "输出文件名与本次已保存的文件重复，未保存\r\n";
    case 146: return "输出文件与输入文件相同，未保存\r\n";
    case 145: return "格式 0 文件按声道分轨后转换";
    case 150: return "HANDSETSW";
    case 151: return "按手机播放规格写入数值";
    default: return {};
  }
}

}  // namespace tonvell
