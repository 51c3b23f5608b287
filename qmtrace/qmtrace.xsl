<?xml version="1.0" encoding="UTF-8"?>
<!--
  Renders an XML trace log as an HTML page: one table row per message, with
  its type, time, process, thread, source and sub-key, coloured by type.
  The message keeps its line breaks. The namespace must stay the one the
  library writes into every log (dp::FileConsumer::kXmlNamespace).
-->
<xsl:stylesheet version="1.0"
    xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:qmtrace="urn:qmkutils:qmtrace:1"
    exclude-result-prefixes="qmtrace">

  <xsl:output method="html" encoding="UTF-8" indent="no"
      doctype-system="about:legacy-compat"/>

  <xsl:variable name="newline" select="'&#10;'"/>

  <xsl:template match="/">
    <xsl:variable name="messages" select="qmtrace:log/qmtrace:mesg"/>
    <html>
      <head>
        <meta charset="UTF-8"/>
        <title>Trace log</title>
        <style>
          body { font-family: sans-serif; margin: 1em; }
          table { border-collapse: collapse; width: 100%; }
          th, td { border: 1px solid #ccc; padding: 2px 6px; vertical-align: top;
                   text-align: left; }
          th { background: #eee; position: sticky; top: 0; }
          td.time, td.number { white-space: nowrap; font-variant-numeric: tabular-nums; }
          td.message { font-family: monospace; white-space: pre-wrap; }
          tr.debug { color: #777; }
          tr.warning { background: #fff4c2; }
          tr.error { background: #fbdada; color: #8b0000; }
        </style>
      </head>
      <body>
        <h1>Trace log</h1>
        <p>Messages: <xsl:value-of select="count($messages)"/>
          (Error: <xsl:value-of select="count($messages[@type = 'Error'])"/>,
          Warning: <xsl:value-of select="count($messages[@type = 'Warning'])"/>)</p>
        <table>
          <thead>
            <tr>
              <th>Type</th><th>Time</th><th>Process</th><th>Thread</th>
              <th>Source</th><th>Sub-key</th><th>Message</th>
            </tr>
          </thead>
          <tbody>
            <xsl:apply-templates select="$messages"/>
          </tbody>
        </table>
      </body>
    </html>
  </xsl:template>

  <xsl:template match="qmtrace:mesg">
    <tr class="{translate(@type, 'ABCDEFGHIJKLMNOPQRSTUVWXYZ', 'abcdefghijklmnopqrstuvwxyz')}">
      <td><xsl:value-of select="@type"/></td>
      <td class="time"><xsl:value-of select="@time"/></td>
      <td class="number"><xsl:value-of select="qmtrace:id/@proc"/></td>
      <td class="number"><xsl:value-of select="qmtrace:id/@thread"/></td>
      <td><xsl:value-of select="qmtrace:sourceid/@source"/></td>
      <td><xsl:value-of select="qmtrace:sourceid/@subkey"/></td>
      <td class="message">
        <xsl:call-template name="message-text">
          <xsl:with-param name="text"
              select="string(qmtrace:sourceid/following-sibling::text()[1])"/>
        </xsl:call-template>
      </td>
    </tr>
  </xsl:template>

  <!-- The text follows the line end after the source element, and usually
       ends with a line end of its own; neither belongs to the message. -->
  <xsl:template name="message-text">
    <xsl:param name="text"/>
    <xsl:variable name="body">
      <xsl:choose>
        <xsl:when test="starts-with($text, $newline)">
          <xsl:value-of select="substring($text, 2)"/>
        </xsl:when>
        <xsl:otherwise>
          <xsl:value-of select="$text"/>
        </xsl:otherwise>
      </xsl:choose>
    </xsl:variable>
    <xsl:choose>
      <xsl:when test="substring($body, string-length($body)) = $newline">
        <xsl:value-of select="substring($body, 1, string-length($body) - 1)"/>
      </xsl:when>
      <xsl:otherwise>
        <xsl:value-of select="$body"/>
      </xsl:otherwise>
    </xsl:choose>
  </xsl:template>

</xsl:stylesheet>
