#include "velmo/ui/UploadPage.h"

#include <utility>

namespace velmo {

namespace {

QString escapeHtml(QString text) {
    // The ampersand first, so the entities made by the later steps stay intact.
    text.replace(QLatin1String("&"), QLatin1String("&amp;"));
    text.replace(QLatin1String("<"), QLatin1String("&lt;"));
    text.replace(QLatin1String(">"), QLatin1String("&gt;"));
    text.replace(QLatin1String("\""), QLatin1String("&quot;"));
    return text;
}

const char* const pageHead =
    "<!doctype html>\n"
    "<html lang=\"en\">\n"
    "<head>\n"
    "<meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1,viewport-fit=cover\">\n"
    "<meta name=\"color-scheme\" content=\"light dark\">\n"
    "<title>Velmo</title>\n"
    "<style>\n"
    ":root{";

const char* const betweenAppearances = "}\n@media (prefers-color-scheme:dark){:root{";

const char* const pageMiddle =
    "}}\n"
    "*{box-sizing:border-box}\n"
    "body{margin:0;font:16px/1.4 -apple-system,system-ui,Roboto,sans-serif;color:var(--text);"
    "background:var(--bg);min-height:100vh}\n"
    "header{background:linear-gradient(160deg,var(--top),var(--bottom));color:#fff;"
    "padding:28px 20px 34px;text-align:center}\n"
    "header h1{margin:0;font-size:30px;letter-spacing:-0.5px}\n"
    "header p{margin:6px 0 0;opacity:.92}\n"
    "main{max-width:520px;margin:-18px auto 0;padding:0 16px 32px}\n"
    ".card{background:var(--card);border:1px solid var(--line);border-radius:16px;padding:18px}\n"
    ".pick{display:block;width:100%;border:0;border-radius:14px;background:var(--accent);color:#fff;"
    "font-family:inherit;font-weight:700;font-size:18px;padding:18px;margin:0}\n"
    ".pick:active{opacity:.85}\n"
    "input[type=file]{display:none}\n"
    ".hint{color:var(--sub);font-size:14px;text-align:center;margin:12px 0 0}\n"
    "#list{margin-top:14px;display:flex;flex-direction:column;gap:10px}\n"
    ".row{background:var(--card);border:1px solid var(--line);border-radius:14px;padding:12px 14px}\n"
    ".top{display:flex;justify-content:space-between;gap:10px;font-weight:600}\n"
    ".name{white-space:nowrap;overflow:hidden;text-overflow:ellipsis}\n"
    ".st{color:var(--sub);flex-shrink:0;font-weight:500}\n"
    ".ok .st{color:var(--ok)}\n"
    ".bad .st{color:var(--bad)}\n"
    ".bar{height:6px;border-radius:3px;background:var(--bg);margin-top:8px;overflow:hidden}\n"
    ".bar i{display:block;height:100%;width:0;background:var(--accent);transition:width .15s}\n"
    ".ok .bar i{background:var(--ok)}\n"
    "</style>\n"
    "</head>\n"
    "<body>\n"
    "<header><h1>Velmo</h1><p>Send files to ";

const char* const pageTail =
    "</p></header>\n"
    "<main>\n"
    "<div class=\"card\">\n"
    "<label><button class=\"pick\" type=\"button\" onclick=\"document.getElementById('f').click()\">"
    "Choose files</button><input id=\"f\" type=\"file\" multiple></label>\n"
    "<p class=\"hint\">Photos, videos, documents, anything. They go straight to the computer over your "
    "Wi-Fi.</p>\n"
    "</div>\n"
    "<div id=\"list\"></div>\n"
    "</main>\n"
    "<script>\n"
    "(function(){\n"
    "var q=location.search,jobs=[],busy=false,list=document.getElementById('list'),"
    "input=document.getElementById('f');\n"
    "function size(n){\n"
    "if(n===0)return '0 KB';\n"
    "if(n<1e6)return Math.max(1,Math.round(n/1e3))+' KB';\n"
    "if(n<1e9)return (n/1e6).toFixed(1)+' MB';\n"
    "return (n/1e9).toFixed(2)+' GB';\n"
    "}\n"
    "function show(job,cls,text,width){\n"
    "job.row.className=cls?'row '+cls:'row';\n"
    "job.st.textContent=text;\n"
    "if(width!==null)job.fill.style.width=width+'%';\n"
    "}\n"
    "function next(){\n"
    "if(busy)return;\n"
    "var job=jobs.shift();\n"
    "if(!job)return;\n"
    "busy=true;\n"
    "show(job,'','0%',null);\n"
    "var x=new XMLHttpRequest();\n"
    "x.open('POST','/upload'+q);\n"
    "x.setRequestHeader('X-File-Name',encodeURIComponent(job.file.name));\n"
    "x.upload.onprogress=function(e){\n"
    "if(!e.lengthComputable||!e.total)return;\n"
    "var p=Math.round(e.loaded/e.total*100);\n"
    "show(job,'',p+'%',p);\n"
    "};\n"
    "x.onload=function(){\n"
    "if(x.status===200)show(job,'ok','Sent \\u2713 '+size(job.file.size),100);\n"
    "else show(job,'bad',x.status===403?'Link expired, scan again':"
    "x.status===413?'File or session limit reached':x.status===409?'Cancelled on the computer':'Failed',null);\n"
    "busy=false;next();\n"
    "};\n"
    "x.onerror=function(){show(job,'bad','Lost connection',null);busy=false;next();};\n"
    "x.send(job.file);\n"
    "}\n"
    "input.addEventListener('change',function(){\n"
    "for(var i=0;i<input.files.length;i++){\n"
    "var file=input.files[i],row=document.createElement('div'),top=document.createElement('div'),"
    "name=document.createElement('span'),st=document.createElement('span'),"
    "bar=document.createElement('div'),fill=document.createElement('i');\n"
    "row.className='row';top.className='top';name.className='name';st.className='st';bar.className='bar';\n"
    "name.textContent=file.name;st.textContent='Waiting';\n"
    "top.appendChild(name);top.appendChild(st);bar.appendChild(fill);row.appendChild(top);row.appendChild(bar);\n"
    "list.appendChild(row);\n"
    "jobs.push({file:file,row:row,st:st,fill:fill});\n"
    "}\n"
    "input.value='';\n"
    "next();\n"
    "});\n"
    "})();\n"
    "</script>\n"
    "</body>\n"
    "</html>\n";

}  // namespace

QString themeCSSVariables(Appearance appearance) {
    const std::pair<const char*, const ThemeColor*> exported[] = {
        {"accent", &colors::accent}, {"accentText", &colors::accentText}, {"soft", &colors::soft},
        {"ok", &colors::ok},         {"bad", &colors::bad},               {"card", &colors::card},
        {"bg", &colors::bg},         {"line", &colors::line},             {"top", &colors::top},
        {"bottom", &colors::bottom}, {"text", &colors::text},             {"sub", &colors::sub},
    };
    QString declarations;
    for (const auto& [name, color] : exported)
        declarations += QStringLiteral("--%1:%2;").arg(QLatin1String(name), cssColor(*color, appearance));
    return declarations;
}

QString makeUploadPage(const QString& deviceName) {
    return QLatin1String(pageHead) + themeCSSVariables(Appearance::light) + QLatin1String(betweenAppearances) +
           themeCSSVariables(Appearance::dark) + QLatin1String(pageMiddle) + escapeHtml(deviceName) +
           QLatin1String(pageTail);
}

}  // namespace velmo
