// The page template and the pieces of the watermark style block, verbatim.
#pragma once

namespace dorvex {

// The SVG tile of the watermark is split around the namespace URI and the text.
inline constexpr const char* WATERMARK_BG_HEAD =
    R"(background-image: url("data:image/svg+xml;utf8,<svg xmlns=')";
inline constexpr const char* SVG_NAMESPACE = "http://www.w3.org/2000/svg";
inline constexpr const char* WATERMARK_BG_MIDDLE =
    "' width='250' height='150' viewBox='0 0 250 150'><text x='50%' y='50%' "
    "text-anchor='middle' fill='rgba(150, 150, 150, 0.1)' font-size='24' font-family='Arial' "
    "transform='rotate(-30, 150, 100)'>";
inline constexpr const char* WATERMARK_BG_TAIL = R"(</text></svg>");)";

// Filled with str.format(title=..., watermark_css=..., content=...). The
// "#"-prefixed block is a rule the style sheet parser drops as a whole; the
// pages have always carried it.
inline constexpr const char* PAGE_TEMPLATE = R"TPL(
<!DOCTYPE html>
<html>
<head>
    <meta charset="UTF-8">
    <title>{title}</title>
    <style>
        /* Notion 準用字體家族 (包含 Mono 字體) */
        body {{
            font-family: -apple-system, BlinkMacSystemFont, "Segoe UI", Helvetica, Arial, sans-serif, "Apple Color Emoji", "Segoe UI Emoji";
            max-width: 950px;
            margin: 0 auto;
            padding: 50px 30px;
            line-height: 1.65;
            color: #37352f;
            background-color: #ffffff;
        }}
        /* 💡 Watermark Layer */
        {watermark_css}
        # body::after {{
        #     content: "";
        #     position: fixed;
        #     top: 0;
        #     left: 0;
        #     width: 100%;
        #     height: 100%;
        #     /* 使用 SVG 建立透明文字浮水印，可自行修改 'CONFIDENTIAL' 字樣 */
        #     background-image: url("data:image/svg+xml;utf8,<svg xmlns='http://www.w3.org/2000/svg' width='250' height='150' viewBox='0 0 250 150'><text x='50%' y='50%' text-anchor='middle' fill='rgba(150, 150, 150, 0.1)' font-size='24' font-family='Arial' transform='rotate(-30, 150, 100)'>CONFIDENTIAL</text></svg>");
        #     background-repeat: repeat;
        #     pointer-events: none; /* 確保浮水印不會影響滑鼠點擊 */
        #     z-index: 1000; /* 放在文字後方，若要更明顯可改為 9999 並調整透明度 */
        # }}
        /* ⭐ 關鍵修改：Notion Style 的行內程式碼 `abc` */
        code:not(pre > code) {{
            font-family: SFMono-Regular, Menlo, Consolas, "PT Mono", "Liberation Mono", Courier, monospace;
            color: #eb5757;
            background-color: #f7f6f3;
            padding: 0.2em 0.4em;
            border-radius: 3px;
            font-size: 85%;
            border: 1px solid #edeef0;
        }}

        /* 程式碼區塊 (Fenced Code Blocks) 的樣式優化 */
        pre {{
            background: #f7f6f3;
            padding: 16px;
            border-radius: 8px;
            overflow-x: auto;
            border: 1px solid #edeef0;
            margin: 1.5em 0;
        }}
        
        /* 確保程式碼區塊內的文字顏色不繼承紅字 */
        pre > code {{
            font-family: SFMono-Regular, Menlo, Consolas, "PT Mono", "Liberation Mono", Courier, monospace;
            color: inherit;
            background-color: transparent;
            padding: 0;
            border-radius: 0;
            font-size: 90%;
            border: none;
        }}

        /* 🐙 GitHub 風格標題設定 */
        h1, h2, h3, h4, h5, h6 {{
            margin-top: 24px;
            margin-bottom: 16px;
            font-weight: 600;
            line-height: 1.25;
            color: #1F2328; /* GitHub 專用的深灰色，比純黑更柔和 */
        }}
        
        h1 {{
            font-size: 2em;
            padding-bottom: 0.3em;
            border-bottom: 1px solid #d0d7de; /* GitHub H1 的經典底線 */
        }}
        
        h2 {{
            font-size: 1.5em;
            padding-bottom: 0.3em;
            border-bottom: 1px solid #d0d7de; /* GitHub H2 也帶有底線 */
        }}
        
        h3 {{
            font-size: 1.25em;
        }}
        
        ul, ol {{ padding-left: 40px; margin: 0.8em 0; }}
        li {{ margin: 0.3em 0; }}
        
        hr {{ border: 0; border-top: 1px solid #edeef0; margin: 2em 0; }}
        
        a {{ color: #2eaadc; text-decoration: none; }}
        a:hover {{ text-decoration: underline; }}

        img {{ max-width: 100%; height: auto; margin: 10px 0; border-radius: 4px; }}
    </style>
</head>
<body>
    <article>
        {content}
    </article>
</body>
</html>
)TPL";

}  // namespace dorvex
