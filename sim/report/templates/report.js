// The page works without this: it only adds the journal's filters, the zoom
// of the failure's pictures and the pictures in the time line's panel lane
// (taken from the frame cards, so that each picture is in the page once).
(function () {
  document.querySelectorAll(".panel-lane image[data-frame]").forEach(function (im) {
    var card = document.getElementById("img-" + im.getAttribute("data-frame"));
    if (card) im.setAttribute("href", card.getAttribute("src"));
  });
  function choice(buttons, act) {
    buttons.forEach(function (b) {
      b.addEventListener("click", function () {
        act(b);
        buttons.forEach(function (o) { o.classList.toggle("on", o === b); });
      });
    });
  }
  var trio = document.getElementById("trio");
  choice(document.querySelectorAll("#trio-zoom button"), function (b) {
    trio.style.setProperty("--zoom", b.getAttribute("data-zoom"));
  });
  var charts = document.querySelectorAll(".chart");
  // Another zoom keeps the middle of the view where it was.
  choice(document.querySelectorAll("button[data-chart]"), function (b) {
    var middle = 0;
    charts.forEach(function (c) {
      var p = c.querySelector(".plot");
      if (!c.hidden) middle = (p.scrollLeft + p.clientWidth / 2) / p.scrollWidth;
    });
    charts.forEach(function (c) {
      c.hidden = c.getAttribute("data-zoom") !== b.getAttribute("data-chart");
      var p = c.querySelector(".plot");
      if (!c.hidden) p.scrollLeft = middle * p.scrollWidth - p.clientWidth / 2;
    });
  });
  var path = document.getElementById("jpath"), text = document.getElementById("jtext");
  var count = document.getElementById("jcount");
  if (!path) return;
  var rows = Array.prototype.slice.call(document.querySelectorAll("#journal-table tbody tr"));
  function filter() {
    var p = path.value, t = text.value.toLowerCase(), shown = 0;
    rows.forEach(function (r) {
      var on = (!p || r.getAttribute("data-path") === p) && (!t || r.textContent.toLowerCase().indexOf(t) >= 0);
      r.hidden = !on;
      if (on) shown++;
    });
    count.textContent = shown + " of " + rows.length + " shown";
  }
  path.addEventListener("change", filter);
  text.addEventListener("input", filter);
})();
