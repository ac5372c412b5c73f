#!/usr/bin/env python3
"""The merchant console in a real browser (headless Chromium, by Selenium)
against a real veilcast-server on 127.0.0.1: a merchant logs in, makes a
viewer, grants a video with an end date, sees the viewer's key request in the
activity log, resets the viewer's devices and revokes. Along the way it checks
what only a browser can show: a form posted from another origin is refused, a
hostile title stays text, the session cookie carries its flags (Secure too,
on a second server with TLS), and a logged-out session cannot act. Screenshots of each page go to the artifacts
folder (argv[2]).

Usage: tst_console_browser.py SERVER_BINARY ARTIFACT_DIR
Exits 77 (skipped) only when Chromium or its driver is missing.
"""
import base64
import http.server
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request
import uuid

SKIP = 77
HOSTILE_TITLE = '<img src=x onerror=alert(1)>'
MERCHANT_USER, MERCHANT_PASS = 'shop-owner', 'shop-owner-pass'
VIEWER_USER, VIEWER_PASS = 'buyer1', 'buyer-one-pass'
ADMIN_USER, ADMIN_PASS = 'operator', 'operator-pass'
DEVICE = '0123456789abcdef0123456789abcdef'


def chromium_paths():
    browser = shutil.which('chromium') or shutil.which('chromium-browser')
    driver = shutil.which('chromedriver')
    return browser, driver


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class Server:
    """veilcast-server on a fresh data folder, seeded by its admin commands."""

    def __init__(self, binary, tls=False):
        self.binary = binary
        self.data = tempfile.mkdtemp(prefix='vc-console-')
        self.env = dict(os.environ, VEILCAST_DATA_DIR=self.data)
        self.env.pop('VEILCAST_DATABASE', None)
        self.env.pop('VEILCAST_MASTER_KEY', None)
        self.process = None
        self.port = free_port()
        self.tls_args = []
        if tls:
            cert, key = (os.path.join(self.data, n) for n in ('cert.pem', 'key.pem'))
            subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt',
                            'ec_paramgen_curve:prime256v1', '-nodes', '-days', '2',
                            '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1',
                            '-keyout', key, '-out', cert],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.tls_args = ['--tls-cert', cert, '--tls-key', key]
        self.base = '%s://127.0.0.1:%d' % ('https' if tls else 'http', self.port)

    def admin(self, *args, stdin=None):
        subprocess.run([self.binary, 'admin', *args], env=self.env, input=stdin,
                       text=True, check=True, stdout=subprocess.DEVNULL)

    def start(self):
        self.admin('merchant', 'add', '浏览器测试商家')
        self.admin('user', 'add', MERCHANT_USER, '--role', 'merchant', '--merchant',
                   '浏览器测试商家', stdin=MERCHANT_PASS + '\n')
        self.admin('merchant', 'add', '另一家店')
        self.admin('user', 'add', ADMIN_USER, '--role', 'admin', stdin=ADMIN_PASS + '\n')
        self.log = open(os.path.join(self.data, 'server.log'), 'w+')
        self.process = subprocess.Popen(
            [self.binary, 'serve', '--listen', '127.0.0.1', '--port', str(self.port),
             *self.tls_args],
            env=self.env, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.time() + 30
        while time.time() < deadline:
            self.log.seek(0)
            if 'listening on' in self.log.read():
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.1)
        self.log.seek(0)
        raise RuntimeError('server did not start:\n' + self.log.read())

    def stop(self):
        if self.process:
            self.process.terminate()
            self.process.wait(timeout=30)
            self.process = None
        shutil.rmtree(self.data, ignore_errors=True)

    def call(self, method, path, body=None, token=None, headers=None):
        request = urllib.request.Request(self.base + path, method=method)
        data = None
        if body is not None:
            data = json.dumps(body).encode()
            request.add_header('Content-Type', 'application/json')
        if token:
            request.add_header('Authorization', 'Bearer ' + token)
        for name, value in (headers or {}).items():
            request.add_header(name, value)
        try:
            with urllib.request.urlopen(request, data, timeout=30) as response:
                return json.load(response)
        except urllib.error.HTTPError as e:
            return json.load(e)

    def player_login(self, user, password):
        answer = self.call('POST', '/api/auth/login', {
            'username': user, 'password': password, 'deviceId': DEVICE, 'deviceName': '浏览器测试机'})
        assert answer['success'], answer
        return answer['data']['token']


class EvilSite:
    """A page on another origin whose form posts to the console on load."""

    def __init__(self, target):
        page = ('<!DOCTYPE html><html><body>'
                '<form id="f" method="POST" enctype="text/plain" action="%s/console/api/viewers">'
                '<input name=\'{"username":"forged-viewer","password":"forged-pass-1","x":"\' '
                'value=\'"}\'></form>'
                '<script>document.getElementById("f").submit()</script></body></html>') % target
        body = page.encode()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header('Content-Type', 'text/html')
                self.send_header('Content-Length', str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        # Threads: Chromium opens spare connections it may never use, and one
        # of those would hold up a single-threaded server's shutdown.
        self.httpd = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        self.httpd.daemon_threads = True
        # "localhost" is another origin than "127.0.0.1", and another site.
        self.url = 'http://localhost:%d/' % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def stop(self):
        self.httpd.shutdown()


class ConsoleTest:
    def __init__(self, server, driver, artifacts):
        self.server = server
        self.driver = driver
        self.artifacts = artifacts
        self.key_id = str(uuid.uuid4())

    # -- helpers --
    def wait(self, condition, what, timeout=15):
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                result = condition()
                if result:
                    return result
            except Exception:  # the page may be between renders
                pass
            time.sleep(0.1)
        self.shot('failed')
        raise AssertionError('timed out waiting for ' + what)

    def el(self, element_id):
        from selenium.webdriver.common.by import By
        return self.driver.find_element(By.ID, element_id)

    def rows(self, tbody_id):
        """The table's data rows; the note an empty table shows is not one."""
        from selenium.webdriver.common.by import By
        return [[td.text for td in tr.find_elements(By.TAG_NAME, 'td')]
                for tr in self.el(tbody_id).find_elements(By.TAG_NAME, 'tr')
                if 'empty' not in (tr.get_attribute('class') or '').split()]

    def empty_note(self, tbody_id):
        from selenium.webdriver.common.by import By
        notes = self.el(tbody_id).find_elements(By.CSS_SELECTOR, 'tr.empty td')
        return notes[0].text if notes else None

    def row_button(self, tbody_id, first_cell, label):
        from selenium.webdriver.common.by import By
        for tr in self.el(tbody_id).find_elements(By.TAG_NAME, 'tr'):
            cells = tr.find_elements(By.TAG_NAME, 'td')
            if cells and cells[0].text == first_cell:
                for b in tr.find_elements(By.TAG_NAME, 'button'):
                    if b.text == label:
                        return b
        raise AssertionError('no %s button in the row of %s' % (label, first_cell))

    def fill(self, element_id, text):
        from selenium.webdriver.common.keys import Keys
        field = self.el(element_id)
        field.clear()
        # clear() fires no input event; typing does, even a key taken back.
        field.send_keys(text or ' ' + Keys.BACKSPACE)

    def select(self, element_id, visible_text):
        from selenium.webdriver.support.ui import Select
        Select(self.el(element_id)).select_by_visible_text(visible_text)

    def tab(self, label):
        from selenium.webdriver.common.by import By
        for b in self.driver.find_elements(By.CSS_SELECTOR, 'nav .tab'):
            if b.text == label:
                b.click()
                return
        raise AssertionError('no tab ' + label)

    def status(self):
        return self.el('status').text

    def shot(self, name):
        path = os.path.join(self.artifacts, name + '.png')
        self.driver.save_screenshot(path)
        print('screenshot:', path)

    def no_alert(self):
        from selenium.common.exceptions import NoAlertPresentException
        try:
            text = self.driver.switch_to.alert.text
        except NoAlertPresentException:
            return
        raise AssertionError('a script ran in the page: alert(%r)' % text)

    # -- the walk --
    def register_hostile_video(self):
        token = self.server.player_login(MERCHANT_USER, MERCHANT_PASS)
        answer = self.server.call('POST', '/api/merchant/keys', {
            'keyId': self.key_id,
            'key': base64.b64encode(os.urandom(32)).decode(),
            'iv': base64.b64encode(os.urandom(16)).decode(),
            'title': HOSTILE_TITLE,
            'sourceFileName': 'lesson-01.mp4',
            'fileSize': 734003200,
        }, token=token)
        assert answer['success'], answer

    def login(self):
        d = self.driver
        d.get(self.server.base + '/console/')
        self.wait(lambda: self.el('login-page').is_displayed(), 'the login page')
        self.shot('01-login')
        # A viewer is no console user.
        self.server.admin('user', 'add', 'just-a-viewer', '--role', 'viewer',
                          stdin='viewer-only-pass\n')
        self.fill('login-user', 'just-a-viewer')
        self.fill('login-pass', 'viewer-only-pass')
        self.el('login-form').submit()
        self.wait(lambda: '仅供商家和管理员' in self.status(), 'the viewer refused')
        assert d.get_cookie('vc_console') is None
        self.fill('login-user', MERCHANT_USER)
        self.fill('login-pass', MERCHANT_PASS)
        self.el('login-form').submit()
        self.wait(lambda: self.el('app').is_displayed(), 'the console after login')
        # A merchant has no other shop to choose.
        assert not self.el('merchant-pick').is_displayed()

    def check_cookie(self):
        cookie = self.driver.get_cookie('vc_console')
        assert cookie, 'no session cookie'
        assert cookie['httpOnly'] is True, cookie
        assert cookie.get('sameSite') == 'Strict', cookie
        assert cookie['path'] == '/console', cookie
        # Plain HTTP on loopback: a Secure cookie would never come back.
        assert cookie['secure'] is False, cookie
        assert 'vc_console' not in self.driver.execute_script('return document.cookie')
        return cookie

    def videos(self):
        self.wait(lambda: any(r and r[0] == HOSTILE_TITLE for r in self.rows('video-rows')),
                  'the video listed with its title as text')
        from selenium.webdriver.common.by import By
        assert not self.el('video-rows').find_elements(By.TAG_NAME, 'img'), 'title became markup'
        self.no_alert()
        self.fill('video-search', 'lesson-01')
        self.wait(lambda: len(self.rows('video-rows')) == 1, 'the search finding the file name')
        self.fill('video-search', 'nothing like it')
        self.wait(lambda: len(self.rows('video-rows')) == 0
                  and '符合搜索' in (self.empty_note('video-rows') or ''), 'the search finding nothing')
        self.fill('video-search', '')
        self.wait(lambda: len(self.rows('video-rows')) == 1, 'the list back')
        self.shot('02-videos')

    def viewers(self):
        self.tab('观众')
        self.fill('viewer-username', VIEWER_USER)
        self.fill('viewer-password', VIEWER_PASS)
        self.fill('viewer-expiry', '2030-01-01')
        self.fill('viewer-limit', '1')
        self.el('viewer-form').submit()
        self.wait(lambda: any(r and r[0] == VIEWER_USER for r in self.rows('viewer-rows')),
                  'the new viewer listed')
        row = next(r for r in self.rows('viewer-rows') if r[0] == VIEWER_USER)
        assert row[2] == '2030-01-01 止', row
        assert row[3] == '1', row
        self.wait(lambda: VIEWER_USER in [o.text for o in
                                          self.el('grant-viewer').find_elements('tag name', 'option')],
                  'the viewer in the grant form')
        self.select('grant-viewer', VIEWER_USER)
        self.select('grant-video', HOSTILE_TITLE)
        self.fill('grant-ends', '2030-06-30')
        self.el('grant-form').submit()
        self.wait(lambda: any(r and r[0] == VIEWER_USER and r[1] == HOSTILE_TITLE
                              and r[2] == '2030-06-30 止' for r in self.rows('grant-rows')),
                  'the grant listed with its end date')
        self.no_alert()
        self.shot('03-viewers')

    def viewer_fetches_key(self):
        token = self.server.player_login(VIEWER_USER, VIEWER_PASS)
        answer = self.server.call('POST', '/api/video/key', {
            'keyId': self.key_id, 'fileId': 'file-1', 'deviceId': DEVICE,
            'deviceName': '浏览器测试机'}, token=token)
        assert answer['success'], answer
        return token

    def activity(self):
        self.tab('访问记录')

        def listed():
            self.el('activity-form').submit()
            time.sleep(0.3)
            return any(r and r[1] == VIEWER_USER and r[5] == '成功' and r[4] == HOSTILE_TITLE
                       for r in self.rows('activity-rows'))

        self.wait(listed, "the viewer's key request in the log")
        self.select('activity-viewer', VIEWER_USER)
        self.el('activity-form').submit()
        self.wait(lambda: all(r[1] == VIEWER_USER for r in self.rows('activity-rows')),
                  'the log filtered by viewer')
        self.no_alert()
        self.shot('04-activity')
        # Past a page of requests the log pages: 200 rows, then the rest.
        token = self.server.player_login(VIEWER_USER, VIEWER_PASS)
        for _ in range(200):
            self.server.call('POST', '/api/video/key', {
                'keyId': self.key_id, 'fileId': 'file-1', 'deviceId': DEVICE,
                'deviceName': '浏览器测试机'}, token=token)

        def first_page():
            self.el('activity-form').submit()
            time.sleep(0.3)
            return (len(self.rows('activity-rows')) == 200
                    and self.el('activity-next').is_enabled()
                    and not self.el('activity-prev').is_enabled())

        self.wait(first_page, 'a first page of 200 rows with a next page')
        self.el('activity-next').click()
        self.wait(lambda: self.el('activity-page').text == '第 2 页'
                  and 0 < len(self.rows('activity-rows')) < 200
                  and self.el('activity-prev').is_enabled()
                  and not self.el('activity-next').is_enabled(),
                  'the second page, the last')
        self.el('activity-prev').click()
        self.wait(lambda: self.el('activity-page').text == '第 1 页', 'back on the first page')

    def reset_and_revoke(self):
        self.tab('观众')
        self.wait(lambda: any(r and r[0] == VIEWER_USER for r in self.rows('viewer-rows')),
                  'the viewer list')
        self.row_button('viewer-rows', VIEWER_USER, '重置设备').click()
        self.wait(lambda: '已重置' in self.status() and '1 台' in self.status(),
                  'one device reset')
        # The reset ended the viewer's sessions too: a new login, a new device.
        token = self.server.player_login(VIEWER_USER, VIEWER_PASS)
        self.wait(lambda: any(r and r[0] == VIEWER_USER for r in self.rows('grant-rows')),
                  'the grant list')
        self.row_button('grant-rows', VIEWER_USER, '撤销').click()
        self.wait(lambda: not any(r and r[0] == VIEWER_USER for r in self.rows('grant-rows')),
                  'the grant gone')
        answer = self.server.call('POST', '/api/video/key', {
            'keyId': self.key_id, 'fileId': 'file-1', 'deviceId': DEVICE}, token=token)
        assert not answer['success'] and answer['code'] == 'PERMISSION_DENIED', answer
        self.shot('05-viewers-after-revoke')

        self.tab('视频')
        self.wait(lambda: self.rows('video-rows'), 'the videos')
        self.row_button('video-rows', HOSTILE_TITLE, '吊销').click()
        self.driver.switch_to.alert.accept()
        self.wait(lambda: any(r and r[0] == HOSTILE_TITLE and r[4] == '已吊销'
                              for r in self.rows('video-rows')), 'the video revoked')

    def api_keys(self):
        self.tab('API 密钥')
        self.fill('apikey-label', '网店后台')
        self.el('apikey-form').submit()
        self.wait(lambda: self.el('apikey-secret').text.startswith('vck_'), 'the new secret shown')
        secret = self.el('apikey-secret').text
        answer = self.server.call('GET', '/api/merchant/viewers', token=secret)
        assert answer['success'], answer
        self.shot('06-apikeys')
        self.tab('视频')
        self.tab('API 密钥')
        self.wait(lambda: not self.el('apikey-new').is_displayed(), 'the secret gone')
        assert secret not in self.driver.page_source
        self.row_button('apikey-rows', '网店后台', '吊销').click()
        self.driver.switch_to.alert.accept()
        self.wait(lambda: any(r and r[0] == '网店后台' and r[2].startswith('已吊销')
                              for r in self.rows('apikey-rows')), 'the key revoked')
        answer = self.server.call('GET', '/api/merchant/viewers', token=secret)
        assert answer.get('code') == 'API_KEY_INVALID', answer

    def cross_origin_form(self):
        evil = EvilSite(self.server.base)
        try:
            self.driver.get(evil.url)
            self.wait(lambda: self.driver.current_url.startswith(self.server.base),
                      'the form posted to the console')
            text = self.driver.find_element('tag name', 'body').text
            assert 'CSRF_REJECTED' in text, text
            self.shot('07-cross-origin-refused')
        finally:
            evil.stop()
        self.driver.get(self.server.base + '/console/')
        self.wait(lambda: self.el('app').is_displayed(), 'the console again')
        self.tab('观众')
        self.wait(lambda: any(r and r[0] == VIEWER_USER for r in self.rows('viewer-rows')),
                  'the viewer list')
        assert not any(r and r[0] == 'forged-viewer' for r in self.rows('viewer-rows'))

    def logout(self, cookie):
        csrf = self.driver.execute_script('return state.csrf')
        assert len(csrf) == 64
        self.el('logout').click()
        self.wait(lambda: self.el('login-page').is_displayed(), 'the login page after logout')
        assert self.driver.get_cookie('vc_console') is None, 'cookie kept after logout'
        self.shot('08-logged-out')
        # The old session, put back into the browser with its token, acts no more.
        self.driver.add_cookie({'name': 'vc_console', 'value': cookie['value'],
                                'path': '/console', 'httpOnly': True, 'sameSite': 'Strict'})
        answer = self.driver.execute_async_script('''
            const done = arguments[arguments.length - 1];
            fetch('/console/api/viewers', {method: 'POST', credentials: 'same-origin',
                headers: {'Content-Type': 'application/json', 'X-Veilcast-Csrf': arguments[0]},
                body: JSON.stringify({username: 'after-logout', password: 'after-logout-1'})})
              .then((r) => r.json()).then(done, (e) => done({error: String(e)}));''', csrf)
        assert answer.get('code') == 'SESSION_INVALID', answer
        answer = self.server.call('GET', '/console/api/viewers',
                                  headers={'Cookie': 'vc_console=' + cookie['value']})
        assert answer.get('code') == 'SESSION_INVALID', answer

    def admin_picks_merchants(self):
        self.fill('login-user', ADMIN_USER)
        self.fill('login-pass', ADMIN_PASS)
        self.el('login-form').submit()
        self.wait(lambda: self.el('merchant-pick').is_displayed(), 'the merchant picker')
        self.select('merchant', '浏览器测试商家')
        self.tab('视频')
        self.wait(lambda: any(r and r[0] == HOSTILE_TITLE and r[4] == '已吊销'
                              for r in self.rows('video-rows')), "the shop's revoked video")
        self.select('merchant', '另一家店')
        self.wait(lambda: not self.rows('video-rows')
                  and '还没有登记的视频' in (self.empty_note('video-rows') or ''),
                  "the other shop's empty list, saying so")
        self.tab('观众')
        self.wait(lambda: VIEWER_USER not in [r[0] for r in self.rows('viewer-rows') if r]
                  and self.el('viewers').is_displayed(), "the other shop's viewers")
        self.shot('09-admin')
        self.el('logout').click()
        self.wait(lambda: self.el('login-page').is_displayed(), 'the admin logged out')

    def secure_cookie_on_tls(self):
        """The same login over TLS: now the cookie must also be Secure."""
        d = self.driver
        d.get(self.server.base + '/console/')
        self.wait(lambda: self.el('login-page').is_displayed(), 'the login page over TLS')
        self.fill('login-user', MERCHANT_USER)
        self.fill('login-pass', MERCHANT_PASS)
        self.el('login-form').submit()
        self.wait(lambda: self.el('app').is_displayed(), 'the console after a TLS login')
        cookie = d.get_cookie('vc_console')
        assert cookie, 'no session cookie over TLS'
        assert cookie['secure'] is True, cookie
        assert cookie['httpOnly'] is True, cookie
        assert cookie.get('sameSite') == 'Strict', cookie
        self.shot('10-tls-login')
        self.el('logout').click()
        self.wait(lambda: self.el('login-page').is_displayed(), 'logged out over TLS')

    def run(self):
        self.register_hostile_video()
        self.login()
        cookie = self.check_cookie()
        self.videos()
        self.viewers()
        self.viewer_fetches_key()
        self.activity()
        self.reset_and_revoke()
        self.api_keys()
        self.cross_origin_form()
        self.logout(cookie)
        self.admin_picks_merchants()
        self.no_alert()


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    server_bin, artifacts = sys.argv[1], sys.argv[2]
    browser, driver_path = chromium_paths()
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service as DriverService
    except ImportError:
        browser = None
    if not browser or not driver_path:
        print('SKIP: Chromium, chromedriver or python3-selenium is missing '
              '(scripts/bootstrap installs chromium chromium-driver python3-selenium)')
        return SKIP
    os.makedirs(artifacts, exist_ok=True)
    server = Server(server_bin)
    driver = None
    try:
        server.start()
        options = webdriver.ChromeOptions()
        options.binary_location = browser
        # The TLS pass uses a certificate made here, which no one has signed.
        for arg in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                    '--window-size=1280,900', '--lang=zh-CN', '--ignore-certificate-errors'):
            options.add_argument(arg)
        profile = tempfile.mkdtemp(prefix='vc-chromium-')
        options.add_argument('--user-data-dir=' + profile)
        driver = webdriver.Chrome(service=DriverService(executable_path=driver_path),
                                  options=options)
        driver.set_script_timeout(30)
        ConsoleTest(server, driver, artifacts).run()
        server.stop()
        tls_server = Server(server_bin, tls=True)
        server = tls_server
        tls_server.start()
        ConsoleTest(tls_server, driver, artifacts).secure_cookie_on_tls()
        print('PASS: the console in Chromium, on plain HTTP and on TLS')
        return 0
    finally:
        if driver:
            driver.quit()
        server.stop()


if __name__ == '__main__':
    sys.exit(main())
